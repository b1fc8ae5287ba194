// The installer's decisions about the settings, and the text form of its
// actions' data and backups.
#include "setup_plan.h"
#include "setup_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lmvnsetup {
namespace {

StoredValue Text(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    return TextValue(name, text, type);
}

StoredValue Dword(const wchar_t* name, DWORD number) {
    return {name,
            REG_DWORD,
            {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
             static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)}};
}

size_t IndexOf(const wchar_t* name) {
    for (size_t i = 0; i < kSettings.size(); ++i) {
        if (std::wstring(kSettings[i].value) == name) return i;
    }
    ADD_FAILURE() << "no setting named so";
    return 0;
}

void Put(SettingValues& values, const StoredValue& value) {
    values[IndexOf(value.name.c_str())] = value;
}

KeyState Key(std::initializer_list<StoredValue> settings, bool trusted = true, DWORD others = 0) {
    KeyState key;
    key.exists = true;
    key.trusted = trusted;
    key.writers = trusted ? L"" : L"its DACL lets S-1-5-32-545 write (rights 0x2001B)";
    for (const StoredValue& value : settings) Put(key.settings, value);
    key.values = static_cast<DWORD>(settings.size()) + others;
    return key;
}

bool Has(const Plan& plan, Change::Op op, Where where, const StoredValue& value) {
    for (const Change& change : plan.changes) {
        if (change.op == op && change.key == where && change.value.name == value.name &&
            (op == Change::Op::Delete || change.value == value)) {
            return true;
        }
    }
    return false;
}

bool Noted(const Plan& plan, const std::wstring& part) {
    for (const std::wstring& note : plan.notes) {
        if (note.find(part) != std::wstring::npos) return true;
    }
    return false;
}

// Values keep their exact type and bytes through the data and backup form:
// a 10-digit number, an unexpanded REG_EXPAND_SZ, a quoted client with
// arguments, text without its terminator, and names and texts that hold the
// form's own separators.
TEST(SetupRecordsTest, ValuesComeBackByteForByte) {
    const std::vector<StoredValue> values = {
        Dword(L"Message ID", 2147483647),
        Text(L"LogDestDir", L"%SystemRoot%\\Logs", REG_EXPAND_SZ),
        Text(L"Client Application", L"\"C:\\Vendor\\client.exe\" --class VendorClient"),
        {L"Clipboard Format", REG_SZ, {0x41, 0x00, 0x42}},  // odd length, no terminator
        Text(L"odd name - with\nline\tand [brackets]", L"x y\r\nz"),
        {L"", REG_BINARY, {}},
    };
    RecordWriter out;
    for (const StoredValue& value : values) out.Begin(L"value").Value(value);
    out.Begin(L"backup").Text(L"C:\\Windows\\Temp\\Lumvane-00ff.settings").Number(0xFFFFFFFF);

    std::vector<Record> records;
    ASSERT_TRUE(ParseRecords(out.str(), records));
    ASSERT_EQ(values.size() + 1, records.size());
    for (size_t i = 0; i < values.size(); ++i) {
        StoredValue read;
        EXPECT_EQ(L"value", records[i].tag);
        ASSERT_TRUE(records[i].ReadValue(read));
        EXPECT_EQ(values[i], read) << i;
        EXPECT_TRUE(records[i].AllRead());
    }
    std::wstring path;
    DWORD number = 0;
    ASSERT_TRUE(records.back().ReadText(path));
    ASSERT_TRUE(records.back().ReadNumber(number));
    EXPECT_EQ(L"C:\\Windows\\Temp\\Lumvane-00ff.settings", path);
    EXPECT_EQ(0xFFFFFFFFu, number);
    EXPECT_FALSE(records.back().ReadText(path));  // no field left
}

TEST(SetupRecordsTest, MalformedTextIsRefusedWhole) {
    std::vector<Record> records;
    for (const wchar_t* bad :
         {L"tag 0041 zz", L"tag 0041  0042", L"9tag 00", L" 0041", L"value 0041\nvalue X"}) {
        records.resize(3);
        EXPECT_FALSE(ParseRecords(bad, records)) << std::wstring(bad).size();
        EXPECT_TRUE(records.empty());
    }
    ASSERT_TRUE(ParseRecords(L"tag 004 01 1234567", records));
    std::wstring text;
    std::vector<BYTE> bytes;
    DWORD number = 0;
    EXPECT_FALSE(records[0].ReadText(text));  // not whole UTF-16 units
    records[0].next = 1;
    EXPECT_TRUE(records[0].ReadBytes(bytes));
    EXPECT_FALSE(records[0].ReadNumber(number));  // seven digits
}

// A log line passes brackets and braces through as they stand.
TEST(SetupRecordsTest, LiteralEscapesFormattedText) {
    EXPECT_EQ(L"TRANSFERMODE=\"[\\[]ProductName[\\]]x\" [\\{][\\}]",
              Literal(L"TRANSFERMODE=\"[ProductName]x\" {}"));
    EXPECT_EQ(L"[\\{]a[\\}]", Literal(L"{a}"));
    EXPECT_EQ(L"plain C:\\Vendor\\client.exe", Literal(L"plain C:\\Vendor\\client.exe"));
}

TEST(SetupPlanTest, PropertiesGiveTypedValuesAndHexNumbers) {
    StoredValue value;
    std::wstring error;
    ASSERT_TRUE(ValueFromProperty(kSettings[IndexOf(L"Message ID")], L"0x8000", value, error));
    EXPECT_EQ(Dword(L"Message ID", 0x8000), value);
    ASSERT_TRUE(ValueFromProperty(kSettings[IndexOf(L"Message ID")], L"2147483647", value, error));
    EXPECT_EQ(Dword(L"Message ID", 2147483647), value);
    ASSERT_TRUE(ValueFromProperty(kSettings[IndexOf(L"Transfer Mode")], L"0X2", value, error));
    EXPECT_EQ(Dword(L"Transfer Mode", 2), value);
    ASSERT_TRUE(ValueFromProperty(kSettings[IndexOf(L"Client Application")],
                                  L"\"C:\\Vendor\\client.exe\" --class X", value, error));
    EXPECT_EQ(Text(L"Client Application", L"\"C:\\Vendor\\client.exe\" --class X"), value);

    for (const auto& [name, text] : std::vector<std::pair<const wchar_t*, std::wstring>>{
             {L"Message ID", L"2147483648"},
             {L"Message ID", L"0x80000000"},
             {L"Message ID", L"0x"},
             {L"Message ID", L"-1"},
             {L"Message ID", L"0x8000 "},
             {L"Transfer Mode", L"[ProductName]x"},
             {L"Log", L"2"},
             {L"LogDestDir", std::wstring(256, L'd')}}) {
        error.clear();
        EXPECT_FALSE(ValueFromProperty(kSettings[IndexOf(name)], text, value, error))
            << std::string(text.begin(), text.end());
        EXPECT_FALSE(error.empty());
    }
}

// What an install, repair or upgrade does with each setting.
TEST(SetupPlanTest, InstallKeepsSettingsAndMovesOnlyWhatAdministratorsWrote) {
    const StoredValue planted = Text(L"Client Application", L"C:\\Users\\Public\\planted.exe");
    const StoredValue log = Dword(L"Log", 1);

    // The main key users may write (the package's rights, left by an older
    // uninstall): nothing is moved.
    Plan plan = PlanInstall(Key({planted, log}, false), KeyState{}, {}, {});
    EXPECT_FALSE(plan.refused);
    EXPECT_TRUE(plan.changes.empty());
    EXPECT_TRUE(Noted(plan, L"not moved into Settings: its DACL lets S-1-5-32-545 write"));

    // Settings exists (a package was here): nothing is moved either.
    plan = PlanInstall(Key({planted}), Key({}), {}, {});
    EXPECT_TRUE(plan.changes.empty());
    EXPECT_TRUE(Noted(plan, L"left there and not used: Settings exists"));

    // A first install over a key only administrators could write: moved
    // (written as stored into Settings before it is deleted from the main
    // key), unless a property gives the value.
    const StoredValue handMode = Dword(L"Transfer Mode", 2);
    const StoredValue expand = Text(L"LogDestDir", L"%ProgramData%\\Lumvane", REG_EXPAND_SZ);
    SettingValues given;
    const StoredValue givenMode = Dword(L"Transfer Mode", 1);
    Put(given, givenMode);
    plan = PlanInstall(Key({handMode, expand}), KeyState{}, given, {});
    ASSERT_EQ(3u, plan.changes.size());
    EXPECT_TRUE(Has(plan, Change::Op::Write, Where::Settings, givenMode));
    EXPECT_TRUE(Has(plan, Change::Op::Write, Where::Settings, expand));
    EXPECT_EQ(Change::Op::Delete, plan.changes.back().op);
    EXPECT_EQ(Where::Main, plan.changes.back().key);
    EXPECT_EQ(L"LogDestDir", plan.changes.back().value.name);
    EXPECT_FALSE(Has(plan, Change::Op::Delete, Where::Main, handMode));

    // Repair and upgrade: a value in Settings stays untouched; one captured
    // before an older version's removal comes back byte for byte; a given
    // property wins.
    const StoredValue client = Text(L"Client Application", L"\"C:\\Vendor\\client.exe\" --class V");
    const StoredValue id = Dword(L"Message ID", 2147483647);
    SettingValues captured;
    Put(captured, client);
    Put(captured, id);
    plan = PlanInstall(Key({}), Key({client}), {}, captured);
    ASSERT_EQ(1u, plan.changes.size());
    EXPECT_TRUE(Has(plan, Change::Op::Write, Where::Settings, id));
    EXPECT_TRUE(Noted(plan, L"\"Client Application\" is kept as it is"));

    // A Settings key that users may write: refused, nothing changes.
    plan = PlanInstall(Key({}), Key({client}, false), given, {});
    EXPECT_TRUE(plan.refused);
    EXPECT_TRUE(plan.changes.empty());
}

// An uninstall removes the settings from Settings and never a value of the
// main key, where a pending job of a user named "Log" may wait.
TEST(SetupPlanTest, RemovalTouchesOnlyThePackagesValues) {
    const StoredValue id = Dword(L"Message ID", 40000);
    const StoredValue job = Text(L"Log", L"C:\\spool\\job.ini");
    KeyState main = Key({job});
    main.subkeys = 1;
    Plan plan = PlanRemoval(main, Key({id}));
    ASSERT_EQ(1u, plan.changes.size());
    EXPECT_TRUE(Has(plan, Change::Op::Delete, Where::Settings, id));
    EXPECT_FALSE(plan.removeKeys);
    EXPECT_TRUE(plan.closeMainKey);

    KeyState empty = Key({});
    empty.subkeys = 1;
    plan = PlanRemoval(empty, Key({id}));
    EXPECT_TRUE(plan.removeKeys);
    EXPECT_FALSE(plan.closeMainKey);

    // A value an administrator added to Settings under another name stays,
    // and with it both keys.
    plan = PlanRemoval(empty, Key({id}, true, 1));
    EXPECT_FALSE(plan.removeKeys);
    EXPECT_TRUE(plan.closeMainKey);
}

}  // namespace
}  // namespace lmvnsetup
