#include "Xml.h"

#include <cwchar>
#include <cwctype>

namespace kv::ts20::xml {

const Element* Element::child(const std::wstring& childName) const {
    for (const auto& item : children) {
        if (item->name == childName) {
            return item.get();
        }
    }
    return nullptr;
}

std::wstring Element::childText(const std::wstring& childName, const std::wstring& fallback) const {
    const Element* found = child(childName);
    return found == nullptr ? fallback : found->text;
}

const std::wstring* Element::attribute(const std::wstring& attributeName) const {
    for (const auto& item : attributes) {
        if (item.first == attributeName) {
            return &item.second;
        }
    }
    return nullptr;
}

Element& Element::add(const std::wstring& childName) {
    children.push_back(std::make_unique<Element>(childName));
    return *children.back();
}

Element& Element::add(const std::wstring& childName, const std::wstring& childText) {
    Element& added = add(childName);
    added.text = childText;
    return added;
}

namespace {

class Parser {
public:
    explicit Parser(const std::wstring& text) : text_(text) {}

    std::unique_ptr<Element> document() {
        skipMisc();
        auto root = element();
        if (!root) {
            return nullptr;
        }
        skipMisc();
        return pos_ == text_.size() ? std::move(root) : nullptr;
    }

private:
    bool startsWith(const wchar_t* prefix) const {
        return text_.compare(pos_, std::wcslen(prefix), prefix) == 0;
    }

    void skipSpace() {
        while (pos_ < text_.size() && std::iswspace(text_[pos_])) {
            ++pos_;
        }
    }

    bool skipPast(const wchar_t* terminator) {
        const size_t found = text_.find(terminator, pos_);
        if (found == std::wstring::npos) {
            return false;
        }
        pos_ = found + std::wcslen(terminator);
        return true;
    }

    // Declarations, comments and processing instructions outside the root element.
    void skipMisc() {
        for (;;) {
            skipSpace();
            if (startsWith(L"<?")) {
                if (!skipPast(L"?>")) {
                    return;
                }
            } else if (startsWith(L"<!--")) {
                if (!skipPast(L"-->")) {
                    return;
                }
            } else {
                return;
            }
        }
    }

    static bool nameChar(wchar_t c) {
        return std::iswalnum(c) || c == L'_' || c == L':' || c == L'-' || c == L'.';
    }

    std::wstring name() {
        const size_t start = pos_;
        while (pos_ < text_.size() && nameChar(text_[pos_])) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    // Decodes entities of a text run; false on an unknown or broken entity.
    static bool decode(const std::wstring& raw, std::wstring& out) {
        out.clear();
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != L'&') {
                out += raw[i];
                continue;
            }
            const size_t end = raw.find(L';', i);
            if (end == std::wstring::npos) {
                return false;
            }
            const std::wstring entity = raw.substr(i + 1, end - i - 1);
            if (entity == L"amp") {
                out += L'&';
            } else if (entity == L"lt") {
                out += L'<';
            } else if (entity == L"gt") {
                out += L'>';
            } else if (entity == L"quot") {
                out += L'"';
            } else if (entity == L"apos") {
                out += L'\'';
            } else if (entity.size() > 1 && entity[0] == L'#') {
                const bool hex = entity[1] == L'x' || entity[1] == L'X';
                wchar_t* stop = nullptr;
                const unsigned long code = std::wcstoul(entity.c_str() + (hex ? 2 : 1), &stop, hex ? 16 : 10);
                if (*stop != L'\0' || code == 0 || code > 0xFFFF) {
                    return false;
                }
                out += static_cast<wchar_t>(code);
            } else {
                return false;
            }
            i = end;
        }
        return true;
    }

    std::unique_ptr<Element> element() {
        if (pos_ >= text_.size() || text_[pos_] != L'<') {
            return nullptr;
        }
        ++pos_;
        auto result = std::make_unique<Element>(name());
        if (result->name.empty()) {
            return nullptr;
        }
        for (;;) {
            skipSpace();
            if (pos_ >= text_.size()) {
                return nullptr;
            }
            if (startsWith(L"/>")) {
                pos_ += 2;
                return result;
            }
            if (text_[pos_] == L'>') {
                ++pos_;
                break;
            }
            std::wstring attributeName = name();
            skipSpace();
            if (attributeName.empty() || pos_ >= text_.size() || text_[pos_] != L'=') {
                return nullptr;
            }
            ++pos_;
            skipSpace();
            if (pos_ >= text_.size() || (text_[pos_] != L'"' && text_[pos_] != L'\'')) {
                return nullptr;
            }
            const wchar_t quote = text_[pos_++];
            const size_t end = text_.find(quote, pos_);
            if (end == std::wstring::npos) {
                return nullptr;
            }
            std::wstring value;
            if (!decode(text_.substr(pos_, end - pos_), value)) {
                return nullptr;
            }
            pos_ = end + 1;
            result->attributes.emplace_back(std::move(attributeName), std::move(value));
        }
        std::wstring raw;
        for (;;) {
            if (pos_ >= text_.size()) {
                return nullptr;
            }
            if (startsWith(L"</")) {
                pos_ += 2;
                if (name() != result->name) {
                    return nullptr;
                }
                skipSpace();
                if (pos_ >= text_.size() || text_[pos_] != L'>') {
                    return nullptr;
                }
                ++pos_;
                break;
            }
            if (startsWith(L"<!--")) {
                if (!skipPast(L"-->")) {
                    return nullptr;
                }
            } else if (startsWith(L"<![CDATA[")) {
                const size_t start = pos_ + 9;
                if (!skipPast(L"]]>")) {
                    return nullptr;
                }
                std::wstring data = text_.substr(start, pos_ - 3 - start);
                // Kept as entities so that the single decode below restores it unchanged.
                for (wchar_t c : data) {
                    raw += c == L'&' ? std::wstring(L"&amp;") : std::wstring(1, c);
                }
            } else if (text_[pos_] == L'<') {
                auto childElement = element();
                if (!childElement) {
                    return nullptr;
                }
                result->children.push_back(std::move(childElement));
            } else {
                raw += text_[pos_++];
            }
        }
        if (!decode(raw, result->text)) {
            return nullptr;
        }
        if (!result->children.empty()) {
            // Mixed content does not occur in task documents: the whitespace between elements goes.
            result->text.clear();
        }
        return result;
    }

    const std::wstring& text_;
    size_t pos_ = 0;
};

std::wstring escape(const std::wstring& text, bool attribute) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
            case L'&':
                out += L"&amp;";
                break;
            case L'<':
                out += L"&lt;";
                break;
            case L'>':
                out += L"&gt;";
                break;
            case L'"':
                out += attribute ? L"&quot;" : L"\"";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void writeElement(const Element& element, int depth, std::wstring& out) {
    out.append(static_cast<size_t>(depth) * 2, L' ');
    out += L"<" + element.name;
    for (const auto& attribute : element.attributes) {
        out += L" " + attribute.first + L"=\"" + escape(attribute.second, true) + L"\"";
    }
    if (element.children.empty() && element.text.empty()) {
        out += L" />\r\n";
        return;
    }
    out += L">";
    if (element.children.empty()) {
        out += escape(element.text, false) + L"</" + element.name + L">\r\n";
        return;
    }
    out += L"\r\n";
    for (const auto& childElement : element.children) {
        writeElement(*childElement, depth + 1, out);
    }
    out.append(static_cast<size_t>(depth) * 2, L' ');
    out += L"</" + element.name + L">\r\n";
}

} // namespace

std::unique_ptr<Element> parse(const std::wstring& text) {
    return Parser(text).document();
}

std::wstring write(const Element& root) {
    std::wstring out = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n";
    writeElement(root, 0, out);
    return out;
}

} // namespace kv::ts20::xml
