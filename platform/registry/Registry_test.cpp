// Tests of the registry: names, typed values, sizes, enumeration, deletion,
// handles, and sharing between threads and processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/winreg.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

// An open key, closed at the end of the scope.
class Key {
public:
    Key() = default;
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }
    operator HKEY() const { return key_; }

private:
    HKEY key_ = nullptr;
};

LONG Create(HKEY root, const char* path, Key& key, DWORD* disposition = nullptr) {
    return RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           key.out(), disposition);
}

LONG Open(HKEY root, const char* path, Key& key) {
    return RegOpenKeyExA(root, path, 0, KEY_READ, key.out());
}

LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

LONG SetText(HKEY key, const char* name, const char* text) {
    return SetBytes(key, name, REG_SZ, std::string(text, std::strlen(text) + 1));
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

// The value's type and bytes, read with a buffer of exactly its size.
LONG Query(HKEY key, const char* name, DWORD& type, std::string& bytes) {
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    bytes.assign(size, '\0');
    rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
    bytes.resize(size);
    return rc;
}

DWORD QueryDword(HKEY key, const char* name) {
    DWORD value = 0xFFFFFFFF;
    DWORD size = sizeof value;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    return value;
}

// Every name an enumeration gives; it must end with ERROR_NO_MORE_ITEMS.
template <typename Enumerate>
std::vector<std::string> Names(HKEY key, Enumerate enumerate) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[512];
        DWORD size = sizeof name;
        LONG rc = enumerate(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, size);
    }
}

std::vector<std::string> SubkeyNames(HKEY key) { return Names(key, RegEnumKeyExA); }
std::vector<std::string> ValueNames(HKEY key) { return Names(key, RegEnumValueA); }

TEST(RegistryKeys, NamesIgnoreCaseAndKeepTheirs) {
    Key created;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\vantrix\\Norba", created), ERROR_SUCCESS);
    Key opened;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, "software\\zm\\VANTRIX\\nORBA", opened), ERROR_SUCCESS);
    Key parent;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "Software\\Zm", parent), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(parent), std::vector<std::string>{"vantrix"});
}

TEST(RegistryKeys, CreateMakesIntermediateKeysAndReportsDisposition) {
    Key first;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Svc\\Parameters",
                     first, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    Key again;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\services\\svc\\parameters",
                     again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    Key middle;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", middle),
              ERROR_SUCCESS);
    // The predefined roots are separate trees.
    Key elsewhere;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, "SYSTEM", elsewhere), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(elsewhere.get(), nullptr);
}

TEST(RegistryKeys, EmptyOrNullSubkeyOpensTheSameKey) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Same", key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "n", 7), ERROR_SUCCESS);
    for (const char* subKey : {static_cast<const char*>(nullptr), ""}) {
        Key same;
        ASSERT_EQ(Open(key, subKey, same), ERROR_SUCCESS);
        EXPECT_NE(same.get(), key.get());
        EXPECT_EQ(QueryDword(same, "n"), 7u);
    }
    DWORD disposition = 0;
    Key created;
    ASSERT_EQ(Create(key, "", created, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
}

TEST(RegistryKeys, PathSyntax) {
    struct Case {
        std::string path;
        LONG code;
    };
    const Case cases[] = {
        {"Software\\Trailing\\", ERROR_SUCCESS},
        {"\\Software\\Leading", ERROR_BAD_PATHNAME},
        {"Software\\\\Doubled", ERROR_BAD_PATHNAME},
        {"Software\\" + std::string(255, 'k'), ERROR_SUCCESS},
        {"Software\\" + std::string(256, 'k'), ERROR_INVALID_PARAMETER},
        {"Software\\forward/slash", ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        Key key;
        EXPECT_EQ(Create(HKEY_CURRENT_USER, c.path.c_str(), key), c.code) << c.path;
    }
    Key slash;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, "Software", slash), ERROR_SUCCESS);
    Key child;
    EXPECT_EQ(Open(slash, "forward/slash", child), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST(RegistryValues, EveryTypeRoundTripsExactly) {
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
    };
    const DWORD seven = 7;
    const Case cases[] = {
        {"Text", REG_SZ, std::string("C:\\Vantrix\0", 11)},
        {"TextWithoutNul", REG_SZ, "20000"},
        {"Expand", REG_EXPAND_SZ, std::string("%VANTRIX_HOME%\\bin\0", 19)},
        {"Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
        {"Number", REG_DWORD, std::string(reinterpret_cast<const char*>(&seven), 4)},
        {"Binary", REG_BINARY, std::string("\0\xff\x01\0\x80", 5)},
        {"Empty", REG_BINARY, ""},
        {"Link", REG_LINK, std::string("\\Registry\\Machine\\Target\0", 26)},
        {"BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x07", 4)},
        {"OddType", 0x1234, "x"},
    };
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Types", key), ERROR_SUCCESS);
    for (const Case& c : cases) ASSERT_EQ(SetBytes(key, c.name, c.type, c.bytes), ERROR_SUCCESS);
    for (const Case& c : cases) {
        DWORD type = 0;
        std::string bytes;
        ASSERT_EQ(Query(key, c.name, type, bytes), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(bytes, c.bytes) << c.name;
    }
}

TEST(RegistryValues, NamesIgnoreCaseAndKeepTheFirstSpelling) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Ferrandia\\JEXlink\\2.2", key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "Contact.EMailAddr", "first"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "contact.emailaddr", "second"), ERROR_SUCCESS);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(Query(key, "Contact.EmailAddr", type, bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, std::string("second", 7));
    EXPECT_EQ(ValueNames(key), std::vector<std::string>{"Contact.EMailAddr"});
}

TEST(RegistryValues, QueryReportsSizes) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Sizes", key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "Path", "C:\\Tools"), ERROR_SUCCESS);

    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 9u);

    BYTE small[4];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 9u);

    BYTE exact[9];
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, exact, &size), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(exact), "C:\\Tools");

    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, exact, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Path", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}

// A subkey's value found and read in one call, with the query's rules.
TEST(RegistryValues, GetValueReadsASubkeysValueInOneCall) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Get\\Inner", key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "Path", "C:\\Tools"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "Count", 7), ERROR_SUCCESS);
    Key parent;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, "Software\\Get", parent), ERROR_SUCCESS);
    constexpr DWORD kFlags = RRF_RT_ANY | RRF_NOEXPAND;
    struct Case {
        HKEY root;
        const char* subkey;
        const char* name;
        DWORD flags;
        DWORD buffer;  // bytes offered; 0: no buffer, only the size asked
        LONG rc;
        DWORD type;
        DWORD size;
    } const cases[] = {
        {HKEY_CURRENT_USER, "software\\GET\\inner", "path", kFlags, 64, ERROR_SUCCESS, REG_SZ, 9},
        {parent, "Inner", "Count", kFlags, 64, ERROR_SUCCESS, REG_DWORD, 4},
        {key, nullptr, "Path", kFlags, 64, ERROR_SUCCESS, REG_SZ, 9},
        {key, "", "Path", kFlags, 0, ERROR_SUCCESS, REG_SZ, 9},
        {HKEY_CURRENT_USER, "Software\\Get\\Inner", "Path", kFlags, 4, ERROR_MORE_DATA, REG_SZ, 9},
        {HKEY_CURRENT_USER, "Software\\Get\\Inner", "Missing", kFlags, 64, ERROR_FILE_NOT_FOUND, 0,
         64},
        {HKEY_CURRENT_USER, "Software\\Get\\Gone", "Path", kFlags, 64, ERROR_FILE_NOT_FOUND, 0, 64},
        {HKEY_CURRENT_USER, "Software\\\\Get", "Path", kFlags, 64, ERROR_BAD_PATHNAME, 0, 64},
        {HKEY_CURRENT_USER, "Software\\Get\\Inner", "Path", RRF_RT_ANY, 64, ERROR_INVALID_PARAMETER,
         0, 64},
        // The exact name only: the key path still ignores case.
        {HKEY_CURRENT_USER, "software\\GET\\inner", "Path", kFlags | kRrfExactName, 64,
         ERROR_SUCCESS, REG_SZ, 9},
        {HKEY_CURRENT_USER, "Software\\Get\\Inner", "path", kFlags | kRrfExactName, 64,
         ERROR_FILE_NOT_FOUND, 0, 64},
        {HKEY_CURRENT_USER, "Software\\Get\\Inner", "path", kFlags | kRrfExactName, 0,
         ERROR_FILE_NOT_FOUND, 0, 64},
        {parent, "Inner", "COUNT", kFlags | kRrfExactName, 64, ERROR_FILE_NOT_FOUND, 0, 64},
        {HKEY_CURRENT_USER, "Software\\Get\\Inner", "Path", RRF_RT_ANY | kRrfExactName, 64,
         ERROR_INVALID_PARAMETER, 0, 64},
    };
    for (const Case& c : cases) {
        char data[64] = {};
        DWORD type = 0;
        DWORD size = c.buffer ? c.buffer : 64;
        EXPECT_EQ(RegGetValueA(c.root, c.subkey, c.name, c.flags, &type, c.buffer ? data : nullptr,
                               &size),
                  c.rc)
            << c.subkey << " " << c.name;
        EXPECT_EQ(type, c.type) << c.subkey << " " << c.name;
        EXPECT_EQ(size, c.size) << c.subkey << " " << c.name;
        if (c.rc == ERROR_SUCCESS && c.buffer && c.type == REG_SZ) {
            EXPECT_STREQ(data, "C:\\Tools");
        }
    }
    DWORD count = 0;
    DWORD size = sizeof count;
    ASSERT_EQ(RegGetValueA(parent, "Inner", "Count", kFlags, nullptr, &count, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(RegGetValueA(key, nullptr, "Path", kFlags, nullptr, &count, nullptr),
              ERROR_INVALID_PARAMETER);
    // A closed handle is refused like any other call's.
    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Get", 0, KEY_READ, &closed),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    size = sizeof count;
    EXPECT_EQ(RegGetValueA(closed, "Inner", "Count", kFlags, nullptr, &count, &size),
              ERROR_INVALID_HANDLE);
}

TEST(RegistryValues, TextStoredWithoutNulReadsTerminatedWhenRoomAllows) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", key), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key, "WaitToKillServiceTimeout", REG_SZ, "20000"), ERROR_SUCCESS);
    char buffer[19];
    std::memset(buffer, 'x', sizeof buffer);
    DWORD size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "WaitToKillServiceTimeout", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(buffer, "20000");
}

TEST(RegistryValues, NullAndEmptyNameAreTheDefaultValue) {
    Key key;
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, "Norba.Wizard", key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, nullptr, 3), ERROR_SUCCESS);
    EXPECT_EQ(QueryDword(key, ""), 3u);
    EXPECT_EQ(ValueNames(key), std::vector<std::string>{""});
    EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryValues, SetRejectsMissingData) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Null", key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, std::string(16384, 'n').c_str(), 0, REG_BINARY, nullptr, 0),
              ERROR_INVALID_PARAMETER);
}

TEST(RegistryValues, DeleteValue) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\vantrix\\norba", key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "-RunPriority"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetText(key, "-RunPriority", "Idle"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "-runpriority"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "-RunPriority", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
}

TEST(RegistryEnumeration, SubkeysAreSortedWithoutRegardToCase) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Sorted", key), ERROR_SUCCESS);
    for (const char* name : {"beta", "_under", "Alpha", "GAMMA", "b2"}) {
        Key child;
        ASSERT_EQ(Create(key, name, child), ERROR_SUCCESS);
    }
    // Letters compare as capitals, so '_' sorts after them.
    EXPECT_EQ(SubkeyNames(key),
              (std::vector<std::string>{"Alpha", "b2", "beta", "GAMMA", "_under"}));
}

TEST(RegistryEnumeration, SubkeyNameBufferTooSmall) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Short\\Parameters", key), ERROR_SUCCESS);
    Key parent;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "Software\\Short", parent), ERROR_SUCCESS);
    char name[10];
    DWORD size = 5;
    EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    char fits[11];
    size = sizeof fits;
    char keyClass[4] = "xx";
    DWORD classSize = sizeof keyClass;
    FILETIME written{};
    EXPECT_EQ(RegEnumKeyExA(parent, 0, fits, &size, nullptr, keyClass, &classSize, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(fits, size), "Parameters");
    EXPECT_EQ(classSize, 0u);
    EXPECT_STREQ(keyClass, "");
    EXPECT_NE(written.dwHighDateTime, 0u);
    EXPECT_EQ(RegEnumKeyExA(parent, 1, fits, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExA(parent, 0, nullptr, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST(RegistryEnumeration, KeyInformationCountsAndMeasuresInBytes) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Measured", key), ERROR_SUCCESS);
    for (const char* name : {"a", "Longest-Subkey", "b\xC3\xA9"}) {
        Key child;
        ASSERT_EQ(Create(key, name, child), ERROR_SUCCESS);
    }
    const std::string data(300, 'd');
    ASSERT_EQ(RegSetValueExA(key, "Value-Name-17", 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(data.data()), 300),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_SUCCESS);

    char keyClass[4] = "xx";
    DWORD classSize = sizeof keyClass;
    DWORD subKeys = 0, maxSubKey = 0, maxClass = 9, values = 0, maxName = 0, maxData = 0,
          security = 9;
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyA(key, keyClass, &classSize, nullptr, &subKeys, &maxSubKey, &maxClass,
                               &values, &maxName, &maxData, &security, &written),
              ERROR_SUCCESS);
    EXPECT_STREQ(keyClass, "");
    EXPECT_EQ(classSize, 0u);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(maxSubKey, 14u);
    EXPECT_EQ(maxClass, 0u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 13u);
    EXPECT_EQ(maxData, 300u);
    EXPECT_EQ(security, 0u);
    EXPECT_NE(written.dwHighDateTime, 0u);

    // Every output may be left out; an empty key counts nothing.
    Key empty;
    ASSERT_EQ(Create(key, "a", empty), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKeyA(empty, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                               &values, &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys + maxSubKey + values + maxName + maxData, 0u);
    // A root key counts its subkeys, not itself.
    ASSERT_EQ(RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &subKeys, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_GE(subKeys, 1u);

    DWORD reserved = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, &reserved, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryInfoKeyA(key, keyClass, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryInfoKeyA(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
}

TEST(RegistryEnumeration, ValuesComeInTheOrderFirstSet) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Ordered", key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "CtrlAccepted", 0), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "Inc", 0), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "Status", 0), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "CtrlAccepted", 5), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"CtrlAccepted", "Inc", "Status"}));
    ASSERT_EQ(RegDeleteValueA(key, "Inc"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "Inc", 1), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"CtrlAccepted", "Status", "Inc"}));
}

TEST(RegistryEnumeration, ValueBuffersTooSmall) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\ValueSizes", key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "Counters", "1 System 2 Memory"), ERROR_SUCCESS);

    char name[4];
    DWORD nameSize = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);

    char longName[16];
    nameSize = sizeof longName;
    DWORD type = 0;
    BYTE data[4];
    DWORD dataSize = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 0, longName, &nameSize, nullptr, &type, data, &dataSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(std::string(longName, nameSize), "Counters");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(dataSize, 18u);

    BYTE full[18];
    nameSize = sizeof longName;
    dataSize = sizeof full;
    EXPECT_EQ(RegEnumValueA(key, 0, longName, &nameSize, nullptr, &type, full, &dataSize),
              ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(full), "1 System 2 Memory");
    EXPECT_EQ(RegEnumValueA(key, 1, longName, &nameSize, nullptr, &type, full, &dataSize),
              ERROR_NO_MORE_ITEMS);
}

TEST(RegistryDelete, KeyRules) {
    Key key;
    ASSERT_EQ(
        Create(HKEY_LOCAL_MACHINE,
               "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tavro_Service", key),
        ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "TypesSupported", 7), ERROR_SUCCESS);
    Key application;
    ASSERT_EQ(
        Create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog", application),
        ERROR_SUCCESS);

    struct Case {
        HKEY key;
        const char* subKey;
        LONG code;
    };
    const Case cases[] = {
        {application, "Application", ERROR_ACCESS_DENIED},  // still has a subkey
        {application, "Missing", ERROR_FILE_NOT_FOUND},
        {application, nullptr, ERROR_INVALID_PARAMETER},
        {HKEY_LOCAL_MACHINE, "", ERROR_ACCESS_DENIED},  // a predefined root
        {application, "application\\TAVRO_SERVICE", ERROR_SUCCESS},
        {application, "Application\\Tavro_Service", ERROR_FILE_NOT_FOUND},
        {application, "Application", ERROR_SUCCESS},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RegDeleteKeyA(c.key, c.subKey), c.code) << (c.subKey ? c.subKey : "(null)");

    // A key made again under the same name starts without values.
    Key again;
    ASSERT_EQ(Create(application, "Application\\Tavro_Service", again), ERROR_SUCCESS);
    EXPECT_TRUE(ValueNames(again).empty());
}

TEST(RegistryDelete, EmptySubkeyDeletesTheKeyItself) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, "Software\\Self", key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, ""), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, "Software\\Self", gone), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryDelete, HandleToDeletedKeyGivesKeyDeleted) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Doomed", key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Doomed"), ERROR_SUCCESS);
    // A key made again under the same name is another key.
    Key again;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Doomed", again), ERROR_SUCCESS);

    DWORD size = 0;
    char name[16];
    DWORD nameSize = sizeof name;
    Key child;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(key, "v", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(key, "v"), ERROR_KEY_DELETED);
    EXPECT_EQ(Create(key, "Child", child), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegFlushKey(key), ERROR_KEY_DELETED);
    EXPECT_TRUE(ValueNames(again).empty());
}

TEST(RegistryHandles, ClosedOrUnknownHandlesGiveInvalidHandle) {
    HKEY closed = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Closed", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &closed, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    int notAKey = 0;
    const HKEY bad[] = {closed, nullptr, reinterpret_cast<HKEY>(&notAKey),
                        reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000004))};
    for (HKEY key : bad) {
        DWORD size = 0;
        char name[16];
        DWORD nameSize = sizeof name;
        HKEY result = nullptr;
        EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetDword(key, "v", 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(key, "x", 0, KEY_READ, &result), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKeyA(key, "x"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegFlushKey(key), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    }
    // Closing a predefined root is allowed and leaves it usable.
    EXPECT_EQ(RegCloseKey(HKEY_USERS), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(HKEY_USERS), ERROR_SUCCESS);
}

TEST(RegistryStore, DatabaseLivesInTheStateDirectory) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\Stored", key), ERROR_SUCCESS);
    ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(platform::StateDir() / "registry.db"));
    // The count of writes that lets reads skip their transaction: private,
    // whatever the umask.
    struct stat st {};
    ASSERT_EQ(lstat((platform::StateDir() / "registry.writes").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RegistryStore, ThreadsWriteConcurrently) {
    constexpr int kThreads = 4;
    constexpr int kWrites = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kWrites; ++i) {
                Key key;
                std::string path = "Software\\Threads\\T" + std::to_string(t);
                if (Create(HKEY_LOCAL_MACHINE, path.c_str(), key) != ERROR_SUCCESS) return;
                SetDword(key, ("v" + std::to_string(i)).c_str(), static_cast<DWORD>(i));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        Key key;
        ASSERT_EQ(
            Open(HKEY_LOCAL_MACHINE, ("Software\\Threads\\T" + std::to_string(t)).c_str(), key),
            ERROR_SUCCESS);
        EXPECT_EQ(ValueNames(key).size(), static_cast<size_t>(kWrites));
    }
}

// A forked child running `body`; its result is the exit status. A child
// still running when the object goes is killed and reaped.
class Child {
public:
    explicit Child(const std::function<int()>& body) : pid_(fork()) {
        if (pid_ == 0) _exit(body());
    }
    ~Child() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    // The exit status, or -1 when the child did not end in time.
    int Wait(std::chrono::seconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (done < 0) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_;
};

constexpr auto kChildLimit = std::chrono::seconds(60);

TEST(RegistryStore, DamagedDatabaseGivesBadDbWithoutCrashing) {
    // In a child with a state directory of its own, so that this process's
    // database stays sound.
    tavro::testing::TempDir state("damaged-state");
    ASSERT_FALSE(state.Path().empty());
    std::filesystem::path dir = state.Path();
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    tavro::testing::WriteFile(dir / "registry.db", std::string(4096, '\x5a'));
    Child child([&dir] {
        setenv(platform::kStateDirVar, dir.c_str(), 1);
        Key key;
        if (Create(HKEY_LOCAL_MACHINE, "Software\\Damaged", key) != ERROR_BADDB) return 30;
        if (key.get() != nullptr) return 31;
        DWORD size = 0;
        if (RegQueryValueExA(HKEY_LOCAL_MACHINE, "v", nullptr, nullptr, nullptr, &size) !=
            ERROR_BADDB)
            return 32;
        return 0;
    });
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(kChildLimit), 0);
}

TEST(RegistryProcesses, ValueWrittenByOneProcessIsReadByAnother) {
    // The parent uses the registry before forking, so the child starts with
    // an inherited connection that it must not share.
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\vantrix\\norba", key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "-RunPriority", "Idle"), ERROR_SUCCESS);

    Child child([] {
        Key settings;
        if (Open(HKEY_LOCAL_MACHINE, "software\\zm\\VANTRIX\\NORBA", settings)) return 10;
        DWORD type = 0;
        std::string bytes;
        if (Query(settings, "-RUNPRIORITY", type, bytes)) return 11;
        if (type != REG_SZ || bytes != std::string("Idle", 5)) return 12;
        Key parameters;
        if (Create(HKEY_LOCAL_MACHINE,
                   "SYSTEM\\CurrentControlSet\\Services\\Tavro_Service\\Parameters", parameters))
            return 13;
        if (SetDword(parameters, "Status", 4)) return 14;
        return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.Wait(kChildLimit), 0);

    Key parameters;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE,
                   "system\\currentcontrolset\\SERVICES\\tavro_service\\parameters", parameters),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryDword(parameters, "STATUS"), 4u);
}

// The text RegGetValueA reads at HKLM\SOFTWARE\ZM\cached, or "(code N)".
std::string CachedText(const char* name) {
    char data[64] = {};
    DWORD size = sizeof data;
    const LONG rc = RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\cached", name,
                                 RRF_RT_ANY | RRF_NOEXPAND, nullptr, data, &size);
    if (rc != ERROR_SUCCESS) return "(code " + std::to_string(rc) + ")";
    return data;
}

// Reads are answered from what the process has read before only while the
// database has not changed: every change, by another process or by this
// one, is seen by the next read.
TEST(RegistryProcesses, RepeatedReadsSeeEveryChangeAtOnce) {
    {
        Key key;
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\cached", key), ERROR_SUCCESS);
        ASSERT_EQ(SetText(key, "Node", "first"), ERROR_SUCCESS);
    }
    const std::string missing = "(code " + std::to_string(ERROR_FILE_NOT_FOUND) + ")";
    EXPECT_EQ(CachedText("Node"), "first");
    EXPECT_EQ(CachedText("NODE"), "first");
    EXPECT_EQ(CachedText("Absent"), missing);

    auto inChild = [](const std::function<LONG(HKEY)>& change) {
        Child child([&change] {
            Key key;
            if (Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\cached", key)) return 10;
            return change(key) == ERROR_SUCCESS ? 0 : 11;
        });
        ASSERT_TRUE(child.started());
        ASSERT_EQ(child.Wait(kChildLimit), 0);
    };
    inChild([](HKEY key) { return SetText(key, "Node", "second"); });
    EXPECT_EQ(CachedText("Node"), "second");
    inChild([](HKEY key) { return SetText(key, "Absent", "now here"); });
    EXPECT_EQ(CachedText("absent"), "now here");
    inChild([](HKEY key) { return RegDeleteValueA(key, "Node"); });
    EXPECT_EQ(CachedText("Node"), missing);

    Key key;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\cached", key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "Node", "third"), ERROR_SUCCESS);
    EXPECT_EQ(CachedText("Node"), "third");
    ASSERT_EQ(RegDeleteValueA(key, "Node"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "Absent"), ERROR_SUCCESS);
    inChild([](HKEY) { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\cached"); });
    EXPECT_EQ(CachedText("Node"), missing);
}

TEST(RegistryProcesses, ConcurrentWritersLoseNothing) {
    // Nothing is opened before the fork: the children also race to create
    // the database and its tables.
    constexpr int kProcesses = 4;
    constexpr int kWrites = 200;
    std::vector<std::unique_ptr<Child>> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(std::make_unique<Child>([p] {
            for (int i = 0; i < kWrites; ++i) {
                Key key;
                // Every process creates and writes the same shared key.
                if (Create(HKEY_LOCAL_MACHINE, "Software\\Shared\\Counters", key)) return 20;
                std::string name = "p" + std::to_string(p) + "." + std::to_string(i);
                if (SetDword(key, name.c_str(), static_cast<DWORD>(p * 1000 + i))) return 21;
                Key own;
                std::string path = "Software\\Shared\\Process" + std::to_string(p);
                if (Create(HKEY_LOCAL_MACHINE, path.c_str(), own)) return 22;
                if (SetDword(own, "Last", static_cast<DWORD>(i))) return 23;
            }
            return 0;
        }));
        ASSERT_TRUE(children.back()->started());
    }
    for (auto& child : children) EXPECT_EQ(child->Wait(kChildLimit), 0);

    Key counters;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "Software\\Shared\\Counters", counters), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(counters).size(), static_cast<size_t>(kProcesses * kWrites));
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kWrites; ++i) {
            std::string name = "p" + std::to_string(p) + "." + std::to_string(i);
            ASSERT_EQ(QueryDword(counters, name.c_str()), static_cast<DWORD>(p * 1000 + i)) << name;
        }
        Key own;
        ASSERT_EQ(Open(HKEY_LOCAL_MACHINE,
                       ("Software\\Shared\\Process" + std::to_string(p)).c_str(), own),
                  ERROR_SUCCESS);
        EXPECT_EQ(QueryDword(own, "Last"), static_cast<DWORD>(kWrites - 1));
    }
}

// What the writers of CachedReadsAreNeverStale have finished, in memory
// shared by the processes (mapped before they fork).
struct WriteBoard {
    static constexpr int kWriters = 3;  // one per process
    // The last number each writer's RegSetValueExA has returned from.
    std::atomic<uint32_t> done[kWriters];
    std::atomic<int> finished;
    // Set by a reader that saw a value older than one already written, and
    // what it saw.
    std::atomic<int> stale;
    std::atomic<uint32_t> staleSeen;
    std::atomic<uint32_t> staleFloor;
};

constexpr int kStaleWrites = 300;
constexpr const char* kStalePath = "SOFTWARE\\ZM\\stale";

std::string WriterName(int writer) { return "w" + std::to_string(writer); }

// Writes 1..kStaleWrites to the writer's value, each published once written.
bool WriteNumbers(WriteBoard& board, int writer) {
    Key key;
    bool ok = Create(HKEY_LOCAL_MACHINE, kStalePath, key) == ERROR_SUCCESS;
    for (uint32_t n = 1; ok && n <= kStaleWrites; ++n) {
        ok = SetDword(key, WriterName(writer).c_str(), n) == ERROR_SUCCESS;
        if (ok) board.done[writer].store(n);
    }
    board.finished.fetch_add(1);
    return ok;
}

// Reads every writer's value through RegGetValueA (which answers from what
// the process read before while nothing has been written since) until all
// writers are done: a value is never older than the last one its writer
// had finished writing before the read began, and never goes back.
bool ReadNumbers(WriteBoard& board, std::chrono::steady_clock::time_point deadline) {
    uint32_t last[WriteBoard::kWriters] = {};
    bool allDone = false;
    while (!allDone && std::chrono::steady_clock::now() < deadline) {
        allDone = board.finished.load() == WriteBoard::kWriters;
        for (int w = 0; w < WriteBoard::kWriters; ++w) {
            const uint32_t floor = board.done[w].load();
            DWORD value = 0;
            DWORD size = sizeof value;
            const LONG rc = RegGetValueA(HKEY_LOCAL_MACHINE, kStalePath, WriterName(w).c_str(),
                                         RRF_RT_ANY | RRF_NOEXPAND, nullptr, &value, &size);
            if (rc != ERROR_SUCCESS) return false;
            if (value < floor || value < last[w]) {
                board.staleSeen.store(value);
                board.staleFloor.store(std::max(floor, last[w]));
                board.stale.store(1);
                return false;
            }
            last[w] = value;
        }
    }
    return allDone;
}

// Many writers and readers at once, as threads of one process and as
// processes: no read that begins after a write returned answers with what
// was there before it.
TEST(RegistryProcesses, CachedReadsAreNeverStale) {
    {
        Key key;
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, kStalePath, key), ERROR_SUCCESS);
        for (int w = 0; w < WriteBoard::kWriters; ++w)
            ASSERT_EQ(SetDword(key, WriterName(w).c_str(), 0), ERROR_SUCCESS);
    }
    void* mapped = mmap(nullptr, sizeof(WriteBoard), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    std::unique_ptr<WriteBoard, void (*)(WriteBoard*)> board(
        new (mapped) WriteBoard{}, [](WriteBoard* b) { munmap(b, sizeof(WriteBoard)); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(50);

    // Each process (two children, then this one: the children are forked
    // while it has no threads) runs one writer and two readers.
    auto runProcess = [&board, deadline](int writer) {
        bool readsOk[2] = {false, false};
        std::thread readers[2];
        for (int r = 0; r < 2; ++r)
            readers[r] = std::thread([&, r] { readsOk[r] = ReadNumbers(*board, deadline); });
        const bool wrote = WriteNumbers(*board, writer);
        for (std::thread& reader : readers) reader.join();
        return (wrote ? 0 : 1) | (readsOk[0] && readsOk[1] ? 0 : 2);
    };
    std::vector<std::unique_ptr<Child>> children;
    for (int writer = 1; writer < WriteBoard::kWriters; ++writer) {
        children.push_back(
            std::make_unique<Child>([&runProcess, writer] { return runProcess(writer); }));
        ASSERT_TRUE(children.back()->started());
    }
    EXPECT_EQ(runProcess(0), 0);
    for (auto& child : children) EXPECT_EQ(child->Wait(kChildLimit), 0);
    EXPECT_EQ(board->stale.load(), 0) << "a read answered " << board->staleSeen.load() << " after "
                                      << board->staleFloor.load() << " had been written";
    for (int w = 0; w < WriteBoard::kWriters; ++w)
        EXPECT_EQ(board->done[w].load(), static_cast<uint32_t>(kStaleWrites)) << w;
}

TEST(RegistrySeed, NewMachineHasSystemKeys) {
    for (const char* path :
         {"SYSTEM\\CurrentControlSet\\Control", "SYSTEM\\CurrentControlSet\\Services"}) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS)
            << path;
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\microsoft\\windows nt\\currentversion",
                            0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    char version[20] = {};
    DWORD size = sizeof version;
    EXPECT_EQ(RegQueryValueExA(key, "CurrentVersion", nullptr, nullptr,
                               reinterpret_cast<LPBYTE>(version), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(version, "6.3");
    RegCloseKey(key);
}

// HKEY_CURRENT_CONFIG reaches the current hardware profile's key, also in a
// database made before it had one.
TEST(RegistryKeys, CurrentConfigIsTheCurrentHardwareProfile) {
    constexpr char kProfile[] = "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";
    {
        Key profile;
        EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, kProfile, profile), ERROR_SUCCESS);
        Key parent;
        ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", parent), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteKeyA(parent, "Hardware Profiles\\Current"), ERROR_SUCCESS);
    }
    Key missing;
    EXPECT_EQ(Open(HKEY_CURRENT_CONFIG, "Software", missing), ERROR_FILE_NOT_FOUND);
    {
        Key fonts;
        ASSERT_EQ(Create(HKEY_CURRENT_CONFIG, "Software\\Fonts", fonts), ERROR_SUCCESS);
        ASSERT_EQ(SetDword(fonts, "LogPixels", 96), ERROR_SUCCESS);
    }
    Key viaMachine;
    ASSERT_EQ(
        Open(HKEY_LOCAL_MACHINE, (std::string(kProfile) + "\\Software\\Fonts").c_str(), viaMachine),
        ERROR_SUCCESS);
    EXPECT_EQ(QueryDword(viaMachine, "LogPixels"), 96u);
    EXPECT_EQ(SubkeyNames(HKEY_CURRENT_CONFIG), std::vector<std::string>{"Software"});
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_CONFIG, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_CONFIG), ERROR_SUCCESS);
    Key again;
    EXPECT_EQ(Open(HKEY_CURRENT_CONFIG, "software\\fonts", again), ERROR_SUCCESS);
}

TEST(RegistrySeed, DeletedSystemKeyStaysDeleted) {
    HKEY services = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_ALL_ACCESS,
                            &services),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(services, "Control"), ERROR_SUCCESS);
    RegCloseKey(services);
    // A second process opening the same database must not seed it again.
    Child child([] {
        HKEY key = nullptr;
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, KEY_READ,
                             &key) == ERROR_FILE_NOT_FOUND
                   ? 0
                   : 1;
    });
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(kChildLimit), 0);
}

// A process's first registry call only reads: it opens the registry and
// reads while another process holds a write transaction.
TEST(RegistryStore, FirstReadDoesNotWaitForAWriter) {
    {
        Key key;
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe", key), ERROR_SUCCESS);
        ASSERT_EQ(SetText(key, "v", "before"), ERROR_SUCCESS);
    }
    const std::string file = (platform::StateDir() / "registry.db").string();
    int locked[2];
    int release[2];
    ASSERT_EQ(pipe(locked), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t writer = fork();
    if (writer == 0) {
        close(locked[0]);
        close(release[1]);
        sqlite3* db = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) _exit(1);
        if (sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE reg_values SET type = type;", nullptr,
                         nullptr, nullptr) != SQLITE_OK)
            _exit(2);
        char c = 'L';
        [[maybe_unused]] ssize_t n = write(locked[1], &c, 1);
        n = read(release[0], &c, 1);  // until the test ends
        _exit(0);
    }
    ASSERT_GT(writer, 0);
    close(locked[1]);
    close(release[0]);
    char c = 0;
    ASSERT_EQ(read(locked[0], &c, 1), 1) << "the writer holds its transaction";
    int status = tavro::testing::RunInChild([] {
        Key key;
        if (Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe", key) != ERROR_SUCCESS) return 1;
        DWORD type = 0;
        std::string bytes;
        if (Query(key, "v", type, bytes) != ERROR_SUCCESS) return 2;
        return bytes == std::string("before", 7) ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    close(release[1]);
    close(locked[0]);
    tavro::testing::ChildGuard::WaitChild(writer, 20000);
}

// A registry its owner made read-only still reads; writes are refused
// with ERROR_ACCESS_DENIED.
TEST(RegistryStore, ReadOnlyRegistryReads) {
    using tavro::testing::As;
    As as = tavro::testing::CanActAsOtherUser() ? As::OtherUser : As::ThisUser;
    int status = tavro::testing::RunInChild(
        [] {
            tavro::testing::FreshState state;
            int made = tavro::testing::RunInChild([] {
                Key key;
                if (Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe", key) != ERROR_SUCCESS) return 1;
                return SetText(key, "v", "kept") == ERROR_SUCCESS ? 0 : 2;
            });
            if (made != 0) return 10 + made;
            if (chmod((platform::StateDir() / "registry.db").c_str(), 0400) != 0) return 20;
            return tavro::testing::RunInChild([] {
                Key key;
                if (Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe", key) != ERROR_SUCCESS) return 31;
                DWORD type = 0;
                std::string bytes;
                if (Query(key, "v", type, bytes) != ERROR_SUCCESS) return 32;
                if (bytes != std::string("kept", 5)) return 33;
                Key written;
                if (Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", written) != ERROR_ACCESS_DENIED)
                    return 34;
                return 0;
            });
        },
        as);
    EXPECT_EQ(status, 0);
}

}  // namespace
