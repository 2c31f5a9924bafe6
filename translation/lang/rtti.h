#pragma once
// The published properties of the owner's components, for the translation component: one small
// adaptor over QMetaObject and QMetaProperty.
//
// What a translation line calls a property is not always what Qt calls it, and not every Qt
// property holds a text meant for translation.  Of Qt's own classes the adaptor offers only
//   Name        objectName
//   Caption     a window's title, a tab page's tab text, the text of a button, label or action,
//               the title of a group box or menu
//   Hint        toolTip
//   Font        the widget's font, as an object with Name and Charset
//   ParentFont  true while the widget's font comes from its parent (read only)
//   Items       a combo box's or list's items, as a string list
//   Action      the action a tool button is bound to (read only)
//   PlaceholderText  the grey text of an empty edit
// and never an edit's content or anything else the operator types.  Properties declared by the
// application's own classes (class names not starting with "Q") are offered as they are: a
// QString is a wide string, a QStringList a string list, a QObject pointer an object, which may
// be a collection (VxCollection).
//
// Components are the owner's named descendants; Qt's internal objects (names starting "qt_")
// are left out.  Names are found without regard to letter case.  Everything here runs in the
// thread of the owner's widgets.

#include "translation/lang/lines.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace translation {

using KindSet = std::uint32_t;
constexpr KindSet KindBit(TypeKind k)
{
    return KindSet{1} << static_cast<int>(k);
}
constexpr KindSet kStringKinds =
    KindBit(TypeKind::String) | KindBit(TypeKind::LString) | KindBit(TypeKind::WString);
// Every kind but the unknown kind and methods.
constexpr KindSet kAnyKind =
    ((KindSet{1} << 18) - 1) & ~KindBit(TypeKind::Unknown) & ~KindBit(TypeKind::Method);

// A collection of our own: the application's collection classes implement it beside QObject.
class VxCollection
{
public:
    virtual ~VxCollection() = default;
    virtual int Count() const = 0;
    virtual QObject* Item(int index) const = 0;
};

// An object with published properties: a component, a widget's font, or a string list.
struct RttiObject
{
    enum class Type { None, Component, Font, Strings };
    Type type = Type::None;
    QPointer<QObject> object; // the component, or the object holding the font or list
    QByteArray member;        // Strings: the holder's QStringList property; empty: its items

    static RttiObject Of(QObject* o);
    explicit operator bool() const { return type != Type::None && !object.isNull(); }
    bool operator==(const RttiObject& other) const
    {
        return type == other.type && object == other.object && member == other.member;
    }
};

struct PropInfo
{
    QString name;
    TypeKind kind = TypeKind::Unknown;
    QString typeName; // class name for class properties ("TFont", "TStrings", ...)
    bool readable = false;
    bool writable = false;
    int id = -1; // the adaptor's own handle
};

namespace rtti {

// Class names without namespaces; the font is "TFont", a string list "TStrings".
QString ClassName(const QObject* object);
QString ClassName(const RttiObject& object);
// ClassName(object) == name, without building the name.
bool IsClass(const QObject* object, std::string_view name);

// In declaration order, only the kinds in `kinds`.
std::vector<PropInfo> Properties(const RttiObject& object, KindSet kinds = kAnyKind);
std::optional<PropInfo> FindProperty(const RttiObject& object, QStringView name,
                                     KindSet kinds = kAnyKind);
// The same for a name in the system's code page; property names are ASCII.
std::optional<PropInfo> FindProperty(const RttiObject& object, std::string_view name,
                                     KindSet kinds = kAnyKind);

std::optional<QString> ReadText(const RttiObject& object, const PropInfo& prop);
bool WriteText(const RttiObject& object, const PropInfo& prop, const QString& text);
std::optional<qint64> ReadOrdinal(const RttiObject& object, const PropInfo& prop);
bool WriteOrdinal(const RttiObject& object, const PropInfo& prop, qint64 value);
std::optional<double> ReadFloat(const RttiObject& object, const PropInfo& prop);
bool WriteFloat(const RttiObject& object, const PropInfo& prop, double value);
// Enumerations and sets by their names ("true", "AlignLeft|AlignTop").
std::optional<QString> ReadEnumName(const RttiObject& object, const PropInfo& prop);
bool WriteEnumName(const RttiObject& object, const PropInfo& prop, const QString& name);
RttiObject ReadObject(const RttiObject& object, const PropInfo& prop);

bool IsStrings(const RttiObject& object);
QStringList StringsGet(const RttiObject& object);
// Replaces lines in place, appends the extra ones, deletes the surplus from the end.  A sorted
// list is unsorted during the change, a control keeps its selection and its change handlers
// stay quiet.
bool StringsSet(const RttiObject& object, const QStringList& lines);

VxCollection* AsCollection(const RttiObject& object);
// None for an index outside the collection.
RttiObject CollectionItem(const RttiObject& object, qint64 index);

// A control bound to an action: its caption and hint come from the action.
bool IsActionBound(const QObject* object);
// False when no object of the class can be bound to an action.
bool MayBeActionBound(const QMetaObject* meta);
// A top-level widget.
bool IsForm(const QObject* object);

} // namespace rtti

// The owner's components, found by name (in the system's code page) without regard to letter
// case; built once per walk.  A walk looks up every line's component, so a look-up costs the
// same whatever the number of components: a hash table, not a search.
class ComponentIndex
{
public:
    struct Found
    {
        QObject* object = nullptr;
        const QMetaObject* meta = nullptr; // its class, read when the index was built
    };

    ComponentIndex() = default;
    explicit ComponentIndex(const QObject* owner);
    // The owner's components as they are now, in storage kept from the last time.
    void Rebuild(const QObject* owner);
    const std::vector<QObject*>& All() const { return all_; }
    QObject* Find(std::string_view name) const { return Lookup(name).object; }
    Found Lookup(std::string_view name) const;

private:
    static constexpr std::size_t kNearby = 4;
    void Collect(const QObject* parent);
    Found At(std::size_t n) const;

    std::vector<QObject*> all_;     // in the order of the walk, equal names included
    std::vector<std::string> keys_; // the upper-case name of each
    std::vector<const QMetaObject*> metas_;
    std::vector<bool> first_;          // the first of its name in the walk
    std::vector<std::uint32_t> slots_; // open addressing: index in all_ + 1, 0 for an empty slot
    mutable std::size_t next_ = 0;     // just after the last one found
};

} // namespace translation
