// The component stream of one translation component (STREAM.md): its published properties,
// TranslationData and the extended translations.

#include "translation/lang/vx_comp.h"
#include "translation/lang/vx_detail.h"
#include "translation/lang/vxb.h"

#include <QMetaProperty>

namespace translation {

namespace {

bool IsListProperty(std::string_view name)
{
    for (int kind = 0; kind < kListKinds; ++kind)
        if (name == std::string_view(StringsTypeName(kind)).substr(2))
            return true;
    return false;
}

const std::string& Text(const StreamValue& v, const std::string& property)
{
    if (v.kind != StreamValue::Kind::String)
        throw ELanguageError("The stored " + property + " is not a text.");
    return v.text;
}

std::vector<TvxExtendedItem> ExtendedItems(const StreamValue& v)
{
    if (v.kind != StreamValue::Kind::Collection)
        throw ELanguageError("The stored ExtendedTranslations are not a collection.");
    std::vector<TvxExtendedItem> items;
    for (const auto& props : v.items) {
        TvxExtendedItem item;
        for (const StreamProperty& p : props) {
            if (p.name == "Identifier")
                item.Identifier = Text(p.value, p.name);
            else if (p.name == "PropertyType")
                item.PropertyType = TypeKindFromName(Text(p.value, p.name));
            else if (p.name == "Values")
                item.Values = Text(p.value, p.name);
        }
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace

StreamComponent ComponentToStream(const TvxCustomLang& component)
{
    StreamComponent out;
    out.className = detail::Narrow1251(rtti::ClassName(&component));
    out.name = detail::Narrow1251(component.objectName());
    const QMetaObject* mo = component.metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < mo->propertyCount(); ++i) {
        const QMetaProperty p = mo->property(i);
        if (IsListProperty(p.name()))
            continue; // the lists travel in TranslationData
        const QVariant v = p.read(&component);
        StreamValue value;
        switch (p.metaType().id()) {
        case QMetaType::Int:
            value = StreamValue::Int(v.toInt());
            break;
        case QMetaType::Bool:
            value = StreamValue::Bool(v.toBool());
            break;
        case QMetaType::QString:
            value = StreamValue::String(detail::Narrow1251(v.toString()));
            break;
        default:
            if (p.metaType() == QMetaType::fromType<StringList>())
                value = StreamValue::Strings(v.value<StringList>());
            else
                continue; // references to other components are not stored
        }
        out.properties.push_back({p.name(), std::move(value)});
    }
    out.properties.push_back({"TranslationData", StreamValue::String(component.TranslationData())});
    StreamValue items;
    items.kind = StreamValue::Kind::Collection;
    for (const TvxExtendedItem& item : component.ExtendedTranslations())
        items.items.push_back(
            {{"Identifier", StreamValue::String(item.Identifier)},
             {"PropertyType", StreamValue::String(TypeKindName(item.PropertyType))},
             {"Values", StreamValue::String(item.Values)}});
    out.properties.push_back({"ExtendedTranslations", std::move(items)});
    return out;
}

void StreamToComponent(TvxCustomLang& component, const StreamComponent& stream)
{
    component.BeginLoading();
    struct End
    {
        TvxCustomLang& c;
        ~End()
        {
            if (c.IsLoading())
                c.EndLoading();
        }
    } end{component};
    const QMetaObject* mo = component.metaObject();
    for (const StreamProperty& prop : stream.properties) {
        const std::string& name = prop.name;
        if (name == "TranslationData") {
            component.SetTranslationData(Text(prop.value, name));
            continue;
        }
        if (name == "ExtendedTranslations") {
            component.SetExtendedTranslations(ExtendedItems(prop.value));
            continue;
        }
        const int index = mo->indexOfProperty(name.c_str());
        if (index < QObject::staticMetaObject.propertyCount())
            continue; // a property this class does not publish
        const QMetaProperty p = mo->property(index);
        QVariant v;
        const auto kind = prop.value.kind;
        switch (p.metaType().id()) {
        case QMetaType::Int:
            if (kind != StreamValue::Kind::Int)
                throw ELanguageError("The stored value of " + name + " is not a number.");
            v = prop.value.integer;
            break;
        case QMetaType::Bool:
            if (kind != StreamValue::Kind::Bool)
                throw ELanguageError("The stored value of " + name + " is not true or false.");
            v = prop.value.boolean;
            break;
        case QMetaType::QString:
            v = detail::FromKey(Text(prop.value, name));
            break;
        default:
            if (p.metaType() != QMetaType::fromType<StringList>())
                continue;
            v = QVariant::fromValue(StreamStrings(prop.value, name));
        }
        p.write(&component, v);
    }
}

std::string SaveComponentData(const TvxCustomLang& component)
{
    return WriteStreamComponent(ComponentToStream(component));
}

void LoadComponentData(TvxCustomLang& component, std::string_view data)
{
    StreamToComponent(component, ReadStreamComponent(data));
}

} // namespace translation
