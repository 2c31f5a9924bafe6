#pragma once
// Editors without widgets: a plain list box and an editor that keeps every control's value by
// name and records the calls made to it.

#include "config_tool/model/editor.h"

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace model::test {

class VectorList : public ItemList
{
public:
    VectorList() = default;
    explicit VectorList(std::vector<std::string> lines) : lines(std::move(lines)) {}
    int Count() const override { return static_cast<int>(lines.size()); }
    std::string Line(int index) const override { return lines.at(static_cast<std::size_t>(index)); }
    void Append(std::string_view line) override { lines.emplace_back(line); }
    void Delete(int index) override
    {
        if (index < 0 || index >= Count())
            throw std::out_of_range("list line");
        lines.erase(lines.begin() + index);
    }
    void Clear() override { lines.clear(); }

    std::vector<std::string> lines;
};

class RecordingEditor : public Editor
{
public:
    std::string Text(std::string_view control) const override
    {
        return Find(texts, control, std::string());
    }
    void SetText(std::string_view control, std::string_view text) override
    {
        Record("SetText", control);
        texts[std::string(control)] = std::string(text);
    }
    int ItemIndex(std::string_view control) const override { return Find(items, control, -1); }
    void SetItemIndex(std::string_view control, int item) override
    {
        Record("SetItemIndex", control);
        items[std::string(control)] = item;
    }
    bool Checked(std::string_view control) const override { return Find(checks, control, false); }
    void SetChecked(std::string_view control, bool checked) override
    {
        Record("SetChecked", control);
        checks[std::string(control)] = checked;
    }
    ItemList& List(std::string_view control) override { return lists[std::string(control)]; }
    void RunChangeHandler(std::string_view control) override
    {
        Record("RunChangeHandler", control);
        if (onChange)
            onChange(control);
    }

    std::map<std::string, std::string, std::less<>> texts;
    std::map<std::string, int, std::less<>> items;
    std::map<std::string, bool, std::less<>> checks;
    std::map<std::string, VectorList, std::less<>> lists;
    std::vector<std::string> calls; // "SetText Obj01ParamNumber", ...
    std::function<void(std::string_view)> onChange;
    bool recordCalls = true;

private:
    template <typename Map, typename Value>
    static Value Find(const Map& map, std::string_view control, Value fallback)
    {
        const auto it = map.find(control);
        return it == map.end() ? fallback : it->second;
    }
    void Record(const char* what, std::string_view control)
    {
        if (recordCalls)
            calls.push_back(std::string(what) + " " + std::string(control));
    }
};

} // namespace model::test
