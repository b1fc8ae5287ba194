// The text form in which the installer's custom actions hand each other
// their data (CustomActionData) and keep their backups for a rollback.
//
// Each record is one line: a tag, then fields separated by one blank. Every
// field is written in lower-case hex, or "-" when it is empty: text as its
// UTF-16 code units (four digits each), bytes two digits each, a number as
// eight digits. So no value, whatever it holds (blanks, line breaks,
// brackets, quotes), can break a record apart or be read as another.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace lmvnsetup {

// One registry value as it is stored: its name, its type and its exact bytes.
struct StoredValue {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const StoredValue&) const = default;
};

// A text value: its UTF-16 code units, little-endian, then the terminator.
StoredValue TextValue(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ);

class RecordWriter {
  public:
    // Starts a new record (a line) with `tag`: letters only.
    RecordWriter& Begin(std::wstring_view tag);
    RecordWriter& Text(std::wstring_view text);
    RecordWriter& Number(DWORD number);
    RecordWriter& Bytes(const std::vector<BYTE>& bytes);
    // A value as three fields: name, type, data.
    RecordWriter& Value(const StoredValue& value);
    const std::wstring& str() const { return out_; }

  private:
    void Field(const std::wstring& hex);
    std::wstring out_;
};

// One parsed record: its tag and its fields, still in hex. Read the fields
// in order with the Read... functions.
struct Record {
    std::wstring tag;
    std::vector<std::wstring> fields;
    size_t next = 0;  // the field the next Read takes

    [[nodiscard]] bool ReadText(std::wstring& text);
    [[nodiscard]] bool ReadNumber(DWORD& number);
    [[nodiscard]] bool ReadBytes(std::vector<BYTE>& bytes);
    [[nodiscard]] bool ReadValue(StoredValue& value);
    bool AllRead() const { return next == fields.size(); }
};

// Splits `text` into its records. Returns false, with `records` cleared,
// when any line is not a record (an empty tag, a field that is not hex of
// the right length, ...). Empty lines are skipped.
[[nodiscard]] bool ParseRecords(std::wstring_view text, std::vector<Record>& records);

// `text` as a template of Windows Installer's formatted text that shows it
// literally. A message's template has [...] and {...} expanded, and, as the
// documentation describes and Wine does, so has text put into it from a
// record's fields: so each bracket and brace is written in its escaped form
// "[\x]" and the whole line is the template.
std::wstring Literal(std::wstring_view text);

}  // namespace lmvnsetup
