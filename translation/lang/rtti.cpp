#include "translation/lang/rtti.h"

#include "platform/text1251.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QWidget>

#include <algorithm>
#include <array>
#include <functional>
#include <limits>

namespace translation {
namespace {

// Handles of the adapted properties; Qt's own property indexes are not negative.
enum Special : int {
    kName = -2,
    kCaption = -3,
    kHint = -4,
    kFont = -5,
    kParentFont = -6,
    kItems = -7,
    kAction = -8,
    kPlaceholder = -9,
    kFontName = -20,
    kFontCharset = -21,
};

// The font's character set has no place in QFont; it travels with the widget.
constexpr const char* kCharsetProperty = "vxCharset";
constexpr qint64 kDefaultCharset = 1;

QString StripNamespace(const char* name)
{
    QString s = QString::fromLatin1(name);
    const qsizetype at = s.lastIndexOf(QLatin1String("::"));
    return at < 0 ? s : s.mid(at + 2);
}

bool IsQtClass(const QMetaObject* mo)
{
    return mo->className()[0] == 'Q';
}

QTabWidget* TabOwner(const QWidget* page)
{
    auto* stack = qobject_cast<QStackedWidget*>(page->parentWidget());
    if (stack == nullptr)
        return nullptr;
    auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget());
    if (tabs == nullptr || tabs->indexOf(const_cast<QWidget*>(page)) < 0)
        return nullptr;
    return tabs;
}

bool HasCaption(const QObject* o)
{
    if (qobject_cast<const QAction*>(o) || qobject_cast<const QMenu*>(o) ||
        qobject_cast<const QAbstractButton*>(o) || qobject_cast<const QLabel*>(o) ||
        qobject_cast<const QGroupBox*>(o))
        return true;
    auto* w = qobject_cast<const QWidget*>(o);
    return w != nullptr && (TabOwner(w) != nullptr || w->isWindow());
}

QString ReadCaption(QObject* o)
{
    if (auto* m = qobject_cast<QMenu*>(o))
        return m->title();
    if (auto* a = qobject_cast<QAction*>(o))
        return a->text();
    if (auto* b = qobject_cast<QAbstractButton*>(o))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(o))
        return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(o))
        return g->title();
    auto* w = qobject_cast<QWidget*>(o);
    if (QTabWidget* tabs = TabOwner(w))
        return tabs->tabText(tabs->indexOf(w));
    return w->windowTitle();
}

void WriteCaption(QObject* o, const QString& text)
{
    if (auto* m = qobject_cast<QMenu*>(o))
        return m->setTitle(text);
    if (auto* a = qobject_cast<QAction*>(o))
        return a->setText(text);
    if (auto* b = qobject_cast<QAbstractButton*>(o))
        return b->setText(text);
    if (auto* l = qobject_cast<QLabel*>(o))
        return l->setText(text);
    if (auto* g = qobject_cast<QGroupBox*>(o))
        return g->setTitle(text);
    auto* w = qobject_cast<QWidget*>(o);
    if (QTabWidget* tabs = TabOwner(w))
        return tabs->setTabText(tabs->indexOf(w), text);
    w->setWindowTitle(text);
}

bool HasItems(const QObject* o)
{
    return qobject_cast<const QComboBox*>(o) != nullptr ||
           qobject_cast<const QListWidget*>(o) != nullptr;
}

bool HasPlaceholder(const QObject* o)
{
    return qobject_cast<const QLineEdit*>(o) != nullptr ||
           qobject_cast<const QTextEdit*>(o) != nullptr ||
           qobject_cast<const QPlainTextEdit*>(o) != nullptr;
}

PropInfo Adapted(const QString& name, TypeKind kind, const QString& typeName, int id,
                 bool writable = true)
{
    return PropInfo{name, kind, typeName, true, writable, id};
}

// The adapted names, made once: copies of them cost no allocation.
struct Names
{
    const QString name = QStringLiteral("Name"), caption = QStringLiteral("Caption"),
                  hint = QStringLiteral("Hint"), font = QStringLiteral("Font"),
                  parentFont = QStringLiteral("ParentFont"), items = QStringLiteral("Items"),
                  action = QStringLiteral("Action"),
                  placeholder = QStringLiteral("PlaceholderText"),
                  charset = QStringLiteral("Charset"), none, tFont = QStringLiteral("TFont"),
                  tStrings = QStringLiteral("TStrings"), boolean = QStringLiteral("Boolean"),
                  tAction = QStringLiteral("TBasicAction"),
                  tCharset = QStringLiteral("TFontCharset");
};

const Names& N()
{
    static const Names names;
    return names;
}

PropInfo FromMeta(const QMetaProperty& p, int index)
{
    PropInfo info;
    info.name = QString::fromLatin1(p.name());
    info.readable = p.isReadable();
    info.writable = p.isWritable();
    info.id = index;
    const QMetaType t = p.metaType();
    if (p.isFlagType()) {
        info.kind = TypeKind::Set;
    } else if (p.isEnumType()) {
        info.kind = TypeKind::Enumeration;
    } else if (t.flags() & QMetaType::PointerToQObject) {
        info.kind = TypeKind::Class;
        info.typeName = t.metaObject() ? StripNamespace(t.metaObject()->className()) : QString();
        return info;
    } else {
        switch (t.id()) {
        case QMetaType::QString:
            info.kind = TypeKind::WString;
            break;
        case QMetaType::QStringList:
            info.kind = TypeKind::Class;
            info.typeName = QStringLiteral("TStrings");
            return info;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::SChar:
        case QMetaType::UChar:
            info.kind = TypeKind::Integer;
            break;
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            info.kind = TypeKind::Int64;
            break;
        case QMetaType::Bool:
            info.kind = TypeKind::Enumeration;
            info.typeName = QStringLiteral("Boolean");
            return info;
        case QMetaType::Double:
        case QMetaType::Float:
            info.kind = TypeKind::Float;
            break;
        case QMetaType::QChar:
            info.kind = TypeKind::WChar;
            break;
        case QMetaType::Char:
            info.kind = TypeKind::Char;
            break;
        default:
            info.kind = TypeKind::Unknown;
            break;
        }
    }
    info.typeName = QString::fromLatin1(t.name());
    return info;
}

// Calls visit with each property in declaration order until it returns true.
template <class Visit> void VisitProperties(const RttiObject& object, Visit&& visit)
{
    QObject* o = object.object.data();
    if (o == nullptr)
        return;
    if (object.type == RttiObject::Type::Font) {
        if (visit(Adapted(N().name, TypeKind::WString, N().none, kFontName)))
            return;
        visit(Adapted(N().charset, TypeKind::Integer, N().tCharset, kFontCharset));
        return;
    }
    if (object.type != RttiObject::Type::Component)
        return;
    if (visit(Adapted(N().name, TypeKind::WString, N().none, kName)))
        return;
    const bool widget = o->isWidgetType();
    if (HasCaption(o))
        if (visit(Adapted(N().caption, TypeKind::WString, N().none, kCaption)))
            return;
    if (widget || qobject_cast<QAction*>(o) != nullptr)
        if (visit(Adapted(N().hint, TypeKind::WString, N().none, kHint)))
            return;
    if (widget) {
        if (visit(Adapted(N().font, TypeKind::Class, N().tFont, kFont)))
            return;
        if (visit(Adapted(N().parentFont, TypeKind::Enumeration, N().boolean, kParentFont, false)))
            return;
    }
    if (HasItems(o))
        if (visit(Adapted(N().items, TypeKind::Class, N().tStrings, kItems)))
            return;
    if (qobject_cast<QToolButton*>(o) != nullptr)
        if (visit(Adapted(N().action, TypeKind::Class, N().tAction, kAction, false)))
            return;
    if (HasPlaceholder(o))
        if (visit(Adapted(N().placeholder, TypeKind::WString, N().none, kPlaceholder)))
            return;
    // The application's own classes, from the base class down.
    std::array<const QMetaObject*, 64> chain{};
    std::size_t depth = 0;
    for (const QMetaObject* mo = o->metaObject(); mo != nullptr && depth < chain.size();
         mo = mo->superClass())
        if (!IsQtClass(mo))
            chain[depth++] = mo;
    while (depth > 0) {
        const QMetaObject* mo = chain[--depth];
        for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
            if (visit(FromMeta(mo->property(i), i)))
                return;
    }
}

std::vector<PropInfo> AllProperties(const RttiObject& object)
{
    std::vector<PropInfo> out;
    VisitProperties(object, [&out](PropInfo&& p) {
        out.push_back(std::move(p));
        return false;
    });
    return out;
}

QMetaProperty Meta(const RttiObject& object, const PropInfo& prop)
{
    return object.object->metaObject()->property(prop.id);
}

} // namespace

RttiObject RttiObject::Of(QObject* o)
{
    RttiObject r;
    if (o != nullptr) {
        r.type = Type::Component;
        r.object = o;
    }
    return r;
}

namespace rtti {

QString ClassName(const QObject* object)
{
    return object == nullptr ? QString() : StripNamespace(object->metaObject()->className());
}

bool IsClass(const QObject* object, std::string_view name)
{
    if (object == nullptr)
        return false;
    std::string_view full = object->metaObject()->className();
    const std::size_t at = full.rfind("::");
    if (at != std::string_view::npos)
        full.remove_prefix(at + 2);
    return full == name;
}

QString ClassName(const RttiObject& object)
{
    switch (object.type) {
    case RttiObject::Type::Font:
        return QStringLiteral("TFont");
    case RttiObject::Type::Strings:
        return QStringLiteral("TStrings");
    case RttiObject::Type::Component:
        return ClassName(object.object.data());
    case RttiObject::Type::None:
        break;
    }
    return QString();
}

std::vector<PropInfo> Properties(const RttiObject& object, KindSet kinds)
{
    std::vector<PropInfo> all = AllProperties(object);
    std::vector<PropInfo> out;
    for (PropInfo& p : all)
        if (kinds & KindBit(p.kind))
            out.push_back(std::move(p));
    return out;
}

std::optional<PropInfo> FindProperty(const RttiObject& object, QStringView name, KindSet kinds)
{
    std::optional<PropInfo> found;
    VisitProperties(object, [&](PropInfo&& p) {
        if (name.compare(p.name, Qt::CaseInsensitive) != 0)
            return false;
        if (kinds & KindBit(p.kind))
            found = std::move(p);
        return true;
    });
    return found;
}

std::optional<PropInfo> FindProperty(const RttiObject& object, std::string_view name, KindSet kinds)
{
    const QLatin1String latin(name.data(), static_cast<qsizetype>(name.size()));
    std::optional<PropInfo> found;
    VisitProperties(object, [&](PropInfo&& p) {
        if (p.name.compare(latin, Qt::CaseInsensitive) != 0)
            return false;
        if (kinds & KindBit(p.kind))
            found = std::move(p);
        return true;
    });
    return found;
}

std::optional<QString> ReadText(const RttiObject& object, const PropInfo& prop)
{
    if (!object || !(kStringKinds & KindBit(prop.kind)) || !prop.readable)
        return std::nullopt;
    QObject* o = object.object.data();
    switch (prop.id) {
    case kName:
        return o->objectName();
    case kCaption:
        return ReadCaption(o);
    case kHint:
        if (auto* a = qobject_cast<QAction*>(o))
            return a->toolTip();
        return static_cast<QWidget*>(o)->toolTip();
    case kPlaceholder:
        return o->property("placeholderText").toString();
    case kFontName:
        return static_cast<QWidget*>(o)->font().family();
    default:
        break;
    }
    if (prop.id < 0)
        return std::nullopt;
    return Meta(object, prop).read(o).toString();
}

bool WriteText(const RttiObject& object, const PropInfo& prop, const QString& text)
{
    if (!object || !(kStringKinds & KindBit(prop.kind)) || !prop.writable)
        return false;
    QObject* o = object.object.data();
    switch (prop.id) {
    case kName:
        o->setObjectName(text);
        return true;
    case kCaption:
        WriteCaption(o, text);
        return true;
    case kHint:
        if (auto* a = qobject_cast<QAction*>(o))
            a->setToolTip(text);
        else
            static_cast<QWidget*>(o)->setToolTip(text);
        return true;
    case kPlaceholder:
        return o->setProperty("placeholderText", text);
    case kFontName: {
        auto* w = static_cast<QWidget*>(o);
        QFont f = w->font();
        f.setFamily(text);
        w->setFont(f);
        return true;
    }
    default:
        break;
    }
    if (prop.id < 0)
        return false;
    return Meta(object, prop).write(o, text);
}

std::optional<qint64> ReadOrdinal(const RttiObject& object, const PropInfo& prop)
{
    if (!object || !prop.readable)
        return std::nullopt;
    QObject* o = object.object.data();
    if (prop.id == kParentFont)
        return static_cast<QWidget*>(o)->testAttribute(Qt::WA_SetFont) ? 0 : 1;
    if (prop.id == kFontCharset) {
        const QVariant v = o->property(kCharsetProperty);
        return v.isValid() ? v.toLongLong() : kDefaultCharset;
    }
    if (prop.id < 0)
        return std::nullopt;
    switch (prop.kind) {
    case TypeKind::Integer:
    case TypeKind::Int64:
    case TypeKind::Enumeration:
    case TypeKind::Set:
    case TypeKind::Char:
    case TypeKind::WChar:
        break;
    default:
        return std::nullopt;
    }
    const QVariant v = Meta(object, prop).read(o);
    if (v.metaType().id() == QMetaType::QChar)
        return v.toChar().unicode();
    if (v.metaType().id() == QMetaType::ULongLong)
        return static_cast<qint64>(v.toULongLong());
    return v.toLongLong();
}

bool WriteOrdinal(const RttiObject& object, const PropInfo& prop, qint64 value)
{
    if (!object || !prop.writable)
        return false;
    QObject* o = object.object.data();
    if (prop.id == kFontCharset) {
        if (value < 0 || value > 255)
            return false;
        o->setProperty(kCharsetProperty, value);
        return true;
    }
    if (prop.id < 0)
        return false;
    const QMetaProperty mp = Meta(object, prop);
    auto inRange = [value](qint64 lo, qint64 hi) { return value >= lo && value <= hi; };
    QVariant v;
    switch (mp.metaType().id()) {
    case QMetaType::Int:
        if (!inRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max()))
            return false;
        v = static_cast<int>(value);
        break;
    case QMetaType::UInt:
        if (!inRange(0, std::numeric_limits<unsigned>::max()))
            return false;
        v = static_cast<unsigned>(value);
        break;
    case QMetaType::Short:
        if (!inRange(std::numeric_limits<short>::min(), std::numeric_limits<short>::max()))
            return false;
        v = QVariant::fromValue(static_cast<short>(value));
        break;
    case QMetaType::UShort:
        if (!inRange(0, std::numeric_limits<unsigned short>::max()))
            return false;
        v = QVariant::fromValue(static_cast<unsigned short>(value));
        break;
    case QMetaType::SChar:
        if (!inRange(-128, 127))
            return false;
        v = QVariant::fromValue(static_cast<signed char>(value));
        break;
    case QMetaType::UChar:
        if (!inRange(0, 255))
            return false;
        v = QVariant::fromValue(static_cast<unsigned char>(value));
        break;
    case QMetaType::LongLong:
        v = value;
        break;
    case QMetaType::ULongLong:
        if (value < 0)
            return false;
        v = static_cast<qulonglong>(value);
        break;
    case QMetaType::Bool:
        if (!inRange(0, 1))
            return false;
        v = value != 0;
        break;
    case QMetaType::QChar:
        if (!inRange(0, 0xFFFF))
            return false;
        v = QChar(static_cast<char16_t>(value));
        break;
    default:
        if (!mp.isEnumType() ||
            !inRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max()))
            return false;
        v = static_cast<int>(value);
        break;
    }
    return mp.write(o, v);
}

std::optional<double> ReadFloat(const RttiObject& object, const PropInfo& prop)
{
    if (!object || prop.kind != TypeKind::Float || prop.id < 0 || !prop.readable)
        return std::nullopt;
    return Meta(object, prop).read(object.object.data()).toDouble();
}

bool WriteFloat(const RttiObject& object, const PropInfo& prop, double value)
{
    if (!object || prop.kind != TypeKind::Float || prop.id < 0 || !prop.writable)
        return false;
    return Meta(object, prop).write(object.object.data(), value);
}

std::optional<QString> ReadEnumName(const RttiObject& object, const PropInfo& prop)
{
    const std::optional<qint64> v = ReadOrdinal(object, prop);
    if (!v)
        return std::nullopt;
    if (prop.typeName == QLatin1String("Boolean"))
        return *v != 0 ? QStringLiteral("True") : QStringLiteral("False");
    if (prop.id < 0)
        return std::nullopt;
    const QMetaEnum e = Meta(object, prop).enumerator();
    if (!e.isValid())
        return std::nullopt;
    if (e.isFlag())
        return QString::fromLatin1(e.valueToKeys(static_cast<int>(*v)));
    const char* key = e.valueToKey(static_cast<int>(*v));
    return key == nullptr ? std::nullopt : std::optional<QString>(QString::fromLatin1(key));
}

bool WriteEnumName(const RttiObject& object, const PropInfo& prop, const QString& name)
{
    if (prop.typeName == QLatin1String("Boolean")) {
        if (name.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
            return WriteOrdinal(object, prop, 1);
        if (name.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
            return WriteOrdinal(object, prop, 0);
        return false;
    }
    if (!object || prop.id < 0)
        return false;
    const QMetaEnum e = Meta(object, prop).enumerator();
    if (!e.isValid())
        return false;
    bool ok = false;
    const QByteArray key = name.toLatin1();
    const int value =
        e.isFlag() ? e.keysToValue(key.constData(), &ok) : e.keyToValue(key.constData(), &ok);
    return ok && WriteOrdinal(object, prop, value);
}

RttiObject ReadObject(const RttiObject& object, const PropInfo& prop)
{
    RttiObject r;
    if (!object || prop.kind != TypeKind::Class || !prop.readable)
        return r;
    QObject* o = object.object.data();
    switch (prop.id) {
    case kFont:
        r.type = RttiObject::Type::Font;
        r.object = o;
        return r;
    case kItems:
        r.type = RttiObject::Type::Strings;
        r.object = o;
        return r;
    case kAction:
        return RttiObject::Of(static_cast<QToolButton*>(o)->defaultAction());
    default:
        break;
    }
    if (prop.id < 0)
        return r;
    const QMetaProperty mp = Meta(object, prop);
    if (mp.metaType().id() == QMetaType::QStringList) {
        r.type = RttiObject::Type::Strings;
        r.object = o;
        r.member = QByteArray(mp.name());
        return r;
    }
    return RttiObject::Of(mp.read(o).value<QObject*>());
}

bool IsStrings(const RttiObject& object)
{
    return object.type == RttiObject::Type::Strings && !object.object.isNull();
}

QStringList StringsGet(const RttiObject& object)
{
    QStringList out;
    if (!IsStrings(object))
        return out;
    QObject* o = object.object.data();
    if (!object.member.isEmpty())
        return o->property(object.member.constData()).toStringList();
    if (auto* c = qobject_cast<QComboBox*>(o)) {
        for (int i = 0; i < c->count(); ++i)
            out << c->itemText(i);
    } else if (auto* l = qobject_cast<QListWidget*>(o)) {
        for (int i = 0; i < l->count(); ++i)
            out << l->item(i)->text();
    }
    return out;
}

bool StringsSet(const RttiObject& object, const QStringList& lines)
{
    if (!IsStrings(object))
        return false;
    QObject* o = object.object.data();
    if (!object.member.isEmpty())
        return o->setProperty(object.member.constData(), lines);
    const int n = static_cast<int>(lines.size());
    if (auto* c = qobject_cast<QComboBox*>(o)) {
        const QSignalBlocker quiet(c);
        const int selected = c->currentIndex();
        for (int i = 0; i < n; ++i) {
            if (i < c->count())
                c->setItemText(i, lines[i]);
            else
                c->addItem(lines[i]);
        }
        while (c->count() > n)
            c->removeItem(c->count() - 1);
        c->setCurrentIndex(selected < c->count() ? selected : -1);
        return true;
    }
    if (auto* l = qobject_cast<QListWidget*>(o)) {
        const QSignalBlocker quiet(l);
        const bool sorted = l->isSortingEnabled();
        const int selected = l->currentRow();
        l->setSortingEnabled(false);
        for (int i = 0; i < n; ++i) {
            if (i < l->count())
                l->item(i)->setText(lines[i]);
            else
                l->addItem(lines[i]);
        }
        while (l->count() > n)
            delete l->takeItem(l->count() - 1);
        l->setSortingEnabled(sorted);
        l->setCurrentRow(selected < l->count() ? selected : -1);
        return true;
    }
    return false;
}

VxCollection* AsCollection(const RttiObject& object)
{
    if (object.type != RttiObject::Type::Component || object.object.isNull())
        return nullptr;
    return dynamic_cast<VxCollection*>(object.object.data());
}

RttiObject CollectionItem(const RttiObject& object, qint64 index)
{
    VxCollection* c = AsCollection(object);
    if (c == nullptr || index < 0 || index >= c->Count())
        return RttiObject();
    return RttiObject::Of(c->Item(static_cast<int>(index)));
}

bool MayBeActionBound(const QMetaObject* meta)
{
    // A tool button takes its action from Qt; otherwise only a property the application's own
    // classes declare can bind a control to an action, and most controls are Qt's own.
    for (const QMetaObject* mo = meta; mo != nullptr; mo = mo->superClass())
        if (mo == &QToolButton::staticMetaObject ||
            (!IsQtClass(mo) && mo->propertyCount() > mo->propertyOffset()))
            return true;
    return false;
}

bool IsActionBound(const QObject* object)
{
    if (object == nullptr || !MayBeActionBound(object->metaObject()))
        return false;
    if (auto* b = qobject_cast<const QToolButton*>(object))
        if (b->defaultAction() != nullptr)
            return true;
    const RttiObject self = RttiObject::Of(const_cast<QObject*>(object));
    const std::optional<PropInfo> action = FindProperty(self, u"Action", KindBit(TypeKind::Class));
    return action && action->id >= 0 && static_cast<bool>(ReadObject(self, *action));
}

bool IsForm(const QObject* object)
{
    auto* w = qobject_cast<const QWidget*>(object);
    return w != nullptr && w->isWindow() && qobject_cast<const QMenu*>(w) == nullptr;
}

} // namespace rtti

namespace {

// The upper-case name in the system's code page; most names are plain ASCII.
std::string UpperKey(const QString& name)
{
    std::string key(static_cast<std::size_t>(name.size()), '\0');
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (c >= 0x80)
            return UpperText(platform::Utf8ToCp1251(name.toStdString()));
        key[static_cast<std::size_t>(i)] = UpperChar(static_cast<char>(c));
    }
    return key;
}

} // namespace

ComponentIndex::ComponentIndex(const QObject* owner)
{
    Rebuild(owner);
}

void ComponentIndex::Rebuild(const QObject* owner)
{
    // Cleared, not freed: a component that applies its languages again and again reuses the
    // same storage instead of asking the heap for it on each walk.
    all_.clear();
    keys_.clear();
    metas_.clear();
    first_.clear();
    slots_.clear();
    next_ = 0;
    if (owner == nullptr)
        return;
    Collect(owner);
    std::size_t size = 16;
    while (size < 2 * all_.size())
        size *= 2;
    slots_.assign(size, 0);
    first_.assign(all_.size(), false);
    const std::size_t mask = size - 1;
    for (std::size_t n = 0; n < all_.size(); ++n) {
        std::size_t at = std::hash<std::string_view>{}(keys_[n]) & mask;
        while (slots_[at] != 0 && keys_[slots_[at] - 1] != keys_[n])
            at = (at + 1) & mask;
        if (slots_[at] == 0) { // of equal names the first in the walk wins
            slots_[at] = static_cast<std::uint32_t>(n + 1);
            first_[n] = true;
        }
    }
}

void ComponentIndex::Collect(const QObject* parent)
{
    // Depth first, each object before its children: the order in which Qt finds children.
    for (QObject* o : parent->children()) {
        const QString name = o->objectName();
        if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_"))) {
            all_.push_back(o);
            keys_.push_back(UpperKey(name));
            metas_.push_back(o->metaObject());
        }
        Collect(o);
    }
}

ComponentIndex::Found ComponentIndex::Lookup(std::string_view name) const
{
    if (name.empty() || slots_.empty())
        return Found{};
    const std::string key = UpperText(name);
    // Lists are written in the order of the walk, each naming some of the components: the
    // next few after the last one found are tried before the table.
    for (std::size_t n = next_; n < all_.size() && n < next_ + kNearby; ++n)
        if (first_[n] && keys_[n] == key)
            return At(n);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = std::hash<std::string_view>{}(key)&mask; slots_[at] != 0;
         at = (at + 1) & mask)
        if (keys_[slots_[at] - 1] == key)
            return At(slots_[at] - 1);
    return Found{};
}

ComponentIndex::Found ComponentIndex::At(std::size_t n) const
{
    next_ = n + 1;
    return Found{all_[n], metas_[n]};
}

} // namespace translation
