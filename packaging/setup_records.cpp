#include "setup_records.h"

namespace lmvnsetup {

StoredValue TextValue(const std::wstring& name, const std::wstring& text, DWORD type) {
    StoredValue value{name, type, {}};
    for (const wchar_t c : text) {
        value.data.push_back(static_cast<BYTE>(c & 0xFF));
        value.data.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}
namespace {

constexpr wchar_t kDigits[] = L"0123456789abcdef";
constexpr wchar_t kEmpty[] = L"-";

void AppendHex(std::wstring& out, unsigned value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out += kDigits[(value >> shift) & 0xF];
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// The number that `digits` hex digits from `at` spell.
unsigned ReadHex(const std::wstring& field, size_t at, int digits) {
    unsigned value = 0;
    for (int i = 0; i < digits; ++i) {
        value = (value << 4) | static_cast<unsigned>(HexDigit(field[at + static_cast<size_t>(i)]));
    }
    return value;
}

bool IsField(std::wstring_view field) {
    if (field == kEmpty) return true;
    if (field.empty()) return false;
    for (const wchar_t c : field) {
        if (HexDigit(c) < 0) return false;
    }
    return true;
}

bool IsTag(std::wstring_view tag) {
    if (tag.empty()) return false;
    for (const wchar_t c : tag) {
        if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'))) return false;
    }
    return true;
}

}  // namespace

RecordWriter& RecordWriter::Begin(std::wstring_view tag) {
    if (!out_.empty()) out_ += L'\n';
    out_ += tag;
    return *this;
}

void RecordWriter::Field(const std::wstring& hex) {
    out_ += L' ';
    out_ += hex.empty() ? std::wstring(kEmpty) : hex;
}

RecordWriter& RecordWriter::Text(std::wstring_view text) {
    std::wstring hex;
    for (const wchar_t c : text) AppendHex(hex, c, 4);
    Field(hex);
    return *this;
}

RecordWriter& RecordWriter::Number(DWORD number) {
    std::wstring hex;
    AppendHex(hex, number, 8);
    Field(hex);
    return *this;
}

RecordWriter& RecordWriter::Bytes(const std::vector<BYTE>& bytes) {
    std::wstring hex;
    for (const BYTE b : bytes) AppendHex(hex, b, 2);
    Field(hex);
    return *this;
}

RecordWriter& RecordWriter::Value(const StoredValue& value) {
    return Text(value.name).Number(value.type).Bytes(value.data);
}

bool Record::ReadText(std::wstring& text) {
    if (next >= fields.size()) return false;
    const std::wstring& field = fields[next];
    std::wstring read;
    if (field != kEmpty) {
        if (field.size() % 4 != 0) return false;
        for (size_t at = 0; at < field.size(); at += 4) {
            read += static_cast<wchar_t>(ReadHex(field, at, 4));
        }
    }
    text = std::move(read);
    ++next;
    return true;
}

bool Record::ReadNumber(DWORD& number) {
    if (next >= fields.size() || fields[next].size() != 8) return false;
    number = ReadHex(fields[next], 0, 8);
    ++next;
    return true;
}

bool Record::ReadBytes(std::vector<BYTE>& bytes) {
    if (next >= fields.size()) return false;
    const std::wstring& field = fields[next];
    std::vector<BYTE> read;
    if (field != kEmpty) {
        if (field.size() % 2 != 0) return false;
        for (size_t at = 0; at < field.size(); at += 2) {
            read.push_back(static_cast<BYTE>(ReadHex(field, at, 2)));
        }
    }
    bytes = std::move(read);
    ++next;
    return true;
}

bool Record::ReadValue(StoredValue& value) {
    StoredValue read;
    if (!ReadText(read.name) || !ReadNumber(read.type) || !ReadBytes(read.data)) return false;
    value = std::move(read);
    return true;
}

std::wstring Literal(std::wstring_view text) {
    std::wstring out;
    for (const wchar_t c : text) {
        if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
            out += L"[\\";
            out += c;
            out += L']';
        } else {
            out += c;
        }
    }
    return out;
}

bool ParseRecords(std::wstring_view text, std::vector<Record>& records) {
    records.clear();
    std::vector<Record> parsed;
    while (!text.empty()) {
        const size_t end = text.find(L'\n');
        std::wstring_view line = text.substr(0, end);
        text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
        if (line.empty()) continue;
        Record record;
        bool first = true;
        while (true) {
            const size_t blank = line.find(L' ');
            const std::wstring_view word = line.substr(0, blank);
            if (first ? !IsTag(word) : !IsField(word)) return false;
            if (first) {
                record.tag = word;
            } else {
                record.fields.emplace_back(word);
            }
            first = false;
            if (blank == std::wstring_view::npos) break;
            line = line.substr(blank + 1);
        }
        parsed.push_back(std::move(record));
    }
    records = std::move(parsed);
    return true;
}

}  // namespace lmvnsetup
