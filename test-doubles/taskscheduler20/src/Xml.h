#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

// A small XML element tree: enough for Task Scheduler task documents (elements,
// attributes, text, the usual entities). Namespace prefixes are kept in names.
namespace kv::ts20::xml {

struct Element {
    std::wstring name;
    std::vector<std::pair<std::wstring, std::wstring>> attributes;
    std::wstring text;
    std::vector<std::unique_ptr<Element>> children;

    Element() = default;
    explicit Element(std::wstring elementName) : name(std::move(elementName)) {}

    // The first child of that name, or null.
    const Element* child(const std::wstring& childName) const;
    // The text of the first child of that name; `fallback` when there is none.
    std::wstring childText(const std::wstring& childName, const std::wstring& fallback = {}) const;
    const std::wstring* attribute(const std::wstring& attributeName) const;

    Element& add(const std::wstring& childName);
    Element& add(const std::wstring& childName, const std::wstring& childText);
};

// Parses a document; null when it is not well-formed.
std::unique_ptr<Element> parse(const std::wstring& text);
// Writes the declaration (encoding "UTF-16") and the tree, two spaces per level, CRLF lines.
std::wstring write(const Element& root);

} // namespace kv::ts20::xml
