// Signing methods: the JexCrypto base (keys, key path, attributes, Init, Sign, Check) and the NULL,
// MD5 and PASSWORD methods.
#include "jexlink/session/JexCrypto.h"

#include <md5.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/session/JexK2.h"
#include "jexlink/session/JexKeyFile.h"
#include "jexlink/transport/NetNames.h"
#include "platform/base/Posix.h"
#include "platform/paths.h"

#define JEX_TEXT_CLASS JexCrypto
const JexTextRow JexCrypto::kTextTable[] = JEX_TEXT_TABLE(JEXCRYPTO_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kNoMethod = "<none>";

using K = JexAttrKind;
constexpr JexAttrRow kAttributes[] = {
    {JexCrypto::K2_HOP_COUNT, "K2_HOP_COUNT", K::kInt, false},
    {JexCrypto::K2_HOP_LIMIT, "K2_HOP_LIMIT", K::kInt, false},
    {JexCrypto::K2_SRC_ACID, "K2_SRC_ACID", K::kText, false},
    {JexCrypto::K2_SRC_NODE, "K2_SRC_NODE", K::kText, false},
    {JexCrypto::NODE_AUTH, "NODE_AUTH", K::kInt, false},
    {JexCrypto::PATH, "PATH", K::kText, false},
};

// The key path used when JEXCRYPTO_PATH is unset: the "keys" directory of
// the installation; with no installation recorded, the usual installation
// directory's, in this platform's form.
JexString DefaultKeyPath() {
    JexConfig config;
    if (config.GetApplicationPath().Compare(JexConfig::kLookupError) == 0)
        return JexString("/Program Files/Ferrand/JEXlink/keys");
    return JexDataFilePath(nullptr, "keys");
}

// An integer literal as C writes it: decimal, 0 octal, 0x hexadecimal,
// with an optional sign. False for anything else, or outside int.
bool ParseIntLiteral(const char* text, int& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

// file becomes directory, method, "-", from, "-", to, the two names
// upper-cased: the name of the key file that signs from one to the other.
void SetKeyFileName(JexString& file, const JexString& directory, const JexString& method,
                    const JexString& from, const JexString& to) {
    file = directory;
    file += method;
    for (const JexString* name : {&from, &to}) {
        file += '-';
        const int start = file.Length();
        file += *name;
        for (char* p = file.Data() + start; *p; ++p)
            *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
}

// Key material does not linger in freed memory.
void Wipe(JexBuffer& b) {
    if (b.Data()) explicit_bzero(b.Data(), static_cast<size_t>(b.AllocatedLength()));
}

// Compares in time that depends on the lengths only, not on where the
// bytes first differ.
bool SameBytes(const JexBuffer& a, const JexBuffer& b) {
    if (a.Length() != b.Length()) return false;
    const auto* x = reinterpret_cast<const unsigned char*>(a.Data());
    const auto* y = reinterpret_cast<const unsigned char*>(b.Data());
    unsigned char diff = 0;
    for (int i = 0; i < a.Length(); ++i) diff = static_cast<unsigned char>(diff | (x[i] ^ y[i]));
    return diff == 0;
}

// A key as read from its file; its bytes are wiped when the last holder
// lets go of them.
struct KeyBytes : std::string {
    using std::string::string;
    KeyBytes(const KeyBytes&) = delete;
    KeyBytes& operator=(const KeyBytes&) = delete;
    ~KeyBytes() {
        if (!empty()) explicit_bzero(data(), size());
    }
};

// What reading a key file gave: the errno of its open (0: it opened), the
// errno of its read, and the key.
struct KeyRead {
    int openError = 0;
    int readError = 0;
    std::shared_ptr<const KeyBytes> key;
    bool keep = false;  // the answer may serve later reads of the same name
};

KeyRead ReadKeyFileNow(const std::string& path) {
    KeyRead read;
    FILE* f = nullptr;
    {
        JexPrivLock hold;  // files are opened and closed under the process-wide file lock
        f = JexKeyFile::Open(JexString(path.c_str()));
        read.openError = f ? 0 : (errno ? errno : ENOENT);
    }
    if (!f) {
        // Absent under every spelling: kept while its directory and the
        // name stay as they are.
        read.keep = read.openError == ENOENT;
        return read;
    }
    // Only a file found by its exact name, which no one else may write, is
    // kept: the stamps are those of that name, and the warning about a
    // shared key is given on every read.
    struct stat opened {};
    struct stat named {};
    read.keep = fstat(fileno(f), &opened) == 0 && !(opened.st_mode & (S_IWGRP | S_IWOTH)) &&
                ::stat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
                named.st_ino == opened.st_ino;
    JexBuffer key;
    read.readError = JexKeyFile::Read(f, key);
    JexPrivLock::fclose(f);
    if (read.readError != 0) {
        read.keep = false;
        return read;
    }
    read.key = std::make_shared<const KeyBytes>(key.Data() ? key.Data() : "",
                                                static_cast<size_t>(key.Length()));
    Wipe(key);
    return read;
}

// Key files are read once per process and again whenever the file or its
// directory changes (device, inode, size, modification or change time), so
// a session's handshake does not open, read and close them each time.
KeyRead ReadKeyFile(const JexString& file) {
    static auto* cache = new jexnet::SourceStampedCache<KeyRead>;
    const std::string path = file.Text();
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return cache->Find(
        path, {path, directory}, [&] { return ReadKeyFileNow(path); },
        [](const KeyRead& read) { return read.keep; });
}

// The K2 setup lock and depth: a K2 client's own session authenticates
// through Init again on the same thread, and must then skip K2 entries.
JexMutex& K2SetupLock() {
    static JexMutex lock;
    return lock;
}
int k2SetupDepth = 0;

struct MethodRow {
    const char* name;
    JexCrypto* (*make)(const JexString&, const JexString&, int);
};
template <class Method>
JexCrypto* Make(const JexString& first, const JexString& second, int suppress) {
    return new Method(first, second, suppress);
}
const MethodRow kMethods[] = {
    {"NULL", Make<JexNullCrypto>},
    {"MD5", Make<JexMd5Crypto>},
    {"PASSWORD", Make<JexPasswordCrypto>},
};

}  // namespace

const char* JexCrypto::AttributeName(int attribute) {
    return JexAttrName(kAttributes, attribute, "Unknown attribute");
}

std::span<const JexAttrRow> JexCrypto::AttributeRows() { return kAttributes; }

JexCrypto::JexCrypto(const JexString& firstName, const JexString& secondName, int suppress)
    : JexException(kTextTable, "JexCrypto"),
      itemMask_(kItemMaskBytes),
      secondName_(secondName),
      methodName_(kNoMethod),
      keyPath_(';'),
      firstName_(firstName) {
    SetSuppress(suppress);

    const char* path = std::getenv("JEXCRYPTO_PATH");
    if (path)
        keyPath_.Parse(path);
    else
        keyPath_.Parse(DefaultKeyPath());

    if (const char* whoami = std::getenv("JEXCRYPTO_K2_WHOAMI")) {
        JexFieldedString fields(whoami, '/');
        k2SrcAcid_ = fields.Field(0);
        k2SrcNode_ = fields.Field(1);
    }
    // An unreadable hop limit leaves the default rather than becoming 0.
    int limit = 0;
    if (ParseIntLiteral(std::getenv("JEXCRYPTO_K2_HOP_LIMIT"), limit)) hop_limit_ = limit;

    ExcSet(OK, JexExcArgs("JexCrypto::JexCrypto"));
}

JexCrypto::~JexCrypto() {
    k2_.reset();
    Wipe(signKey_);
    Wipe(checkKey_);
}

JexCrypto* JexCrypto::Create(const char* name, const JexString& firstName,
                             const JexString& secondName, int suppress) {
    for (const MethodRow& row : kMethods)
        if (JexStrCaseCmp(name, row.name) == 0) return row.make(firstName, secondName, suppress);
    return nullptr;
}

JexException* JexCrypto::Clone() { return new JexCrypto(firstName_, secondName_, Suppress()); }

void JexCrypto::MaskItem(int item) {
    if (item < 0 || item >= 8 * kItemMaskBytes) return;
    itemMask_[item / 8] = static_cast<char>(itemMask_[item / 8] | (1 << (item % 8)));
}

bool JexCrypto::ItemMasked(int item) const {
    return (static_cast<unsigned char>(itemMask_[item / 8]) >> (item % 8)) & 1;
}

int JexCrypto::get_key(const JexString& file, JexBuffer& key) {
    const KeyRead found = ReadKeyFile(file);
    if (found.openError != 0) {
        JexErrno cause(found.openError, "fopen");
        return ExcSet(NOKEYFILE,
                      JexExcArgs("JexCrypto::get_key(const JexString &, JexBuffer &)", file),
                      &cause);
    }
    const int err = found.readError;
    key.Free();
    if (err == 0 && found.key && !found.key->empty() &&
        key.SetLengthForOverwrite(static_cast<int>(found.key->size())))
        std::memcpy(key.Data(), found.key->data(), found.key->size());
    if (err != 0) {
        JexErrno cause(err, "fgets");
        return ExcSet(READERR,
                      JexExcArgs("JexCrypto::get_key(const JexString &, JexBuffer &)", file),
                      &cause);
    }
    return ExcSet(OK);
}

int JexCrypto::get_key(const JexString& firstFile, const JexString& secondFile, JexBuffer& key) {
    if (get_key(firstFile, key) != NOKEYFILE) return Code();
    if (get_key(secondFile, key) != NOKEYFILE) return Code();
    JexErrno cause(Cause() ? Cause()->Code() : ENOENT, "fopen");
    return ExcSet(
        NOKEYFILE,
        JexExcArgs("JexCrypto::get_key(const JexString &, const JexString &, JexBuffer &)",
                   secondFile),
        &cause);
}

int JexCrypto::load_keys() {
    if (get_key(signKeyFile_, checkKeyFile_, signKey_) == OK) checkKey_ = signKey_;
    return Code();
}

int JexCrypto::digest(const JexNetMsg&, const JexBuffer&, JexBuffer& out) {
    out.SetLength(0);
    return 0;
}

int JexCrypto::key_file_names() {
    SetKeyFileName(signKeyFile_, keyDirectory_, methodName_, firstName_, secondName_);
    SetKeyFileName(checkKeyFile_, keyDirectory_, methodName_, secondName_, firstName_);
    // A name that could lead out of the key directory opens nothing.
    if (JexKeyFile::SafeName(methodName_) && JexKeyFile::SafeName(firstName_) &&
        JexKeyFile::SafeName(secondName_))
        return OK;
    JexErrno cause(EINVAL, "key_file_names");
    return ExcSet(NOKEYFILE, JexExcArgs("JexCrypto::key_file_names", signKeyFile_), &cause);
}

int JexCrypto::setup_k2(const JexString& entry) {
    JexFieldedString fields(entry, '@');
    const int last = fields.Count() - 1;
    bool anyMethod = false;
    for (int i = 0; i < last; ++i) anyMethod |= fields[i].Text()[0] != '\0';
    // An entry that names no method has nothing to authenticate the K2
    // session with: it is refused rather than guessed at.
    if (!anyMethod) return ExcSet(K2FAIL, JexExcArgs("JexCrypto::setup_k2: method"));
    JexFieldedString server(fields[last], '/');
    const JexString serverAcid = server.Field(0);
    const JexString serverNode = server.Field(1);

    k2_.reset();
    k2_ = std::make_unique<JexK2>();
    k2_->SetSuppress(1);
    k2_->SetAttr(JexK2::HOP_COUNT, hop_count_);
    k2_->SetAttr(JexK2::HOP_LIMIT, hop_limit_);
    // An empty identity keeps the session's own (the local node by default).
    if (k2SrcAcid_.Text()[0]) k2_->SetAttr(JexSession::SRC_ACID, k2SrcAcid_);
    if (k2SrcNode_.Text()[0]) k2_->SetAttr(JexSession::SRC_NODE, k2SrcNode_);

    for (int i = 0; i < last; ++i) {
        if (!fields[i].Text()[0]) continue;
        if (k2_->SetAttr(JexSession::ENCRYPTION, fields[i]) == 0) continue;
        if (k2_->SetAttr(JexSession::AUTHENTICATION, fields[i]) == 0) continue;
        ExcSet(K2FAIL, JexExcArgs("JexCrypto::setup_k2: method"), k2_.get());
        DropK2();
        return K2FAIL;
    }
    if (k2_->Connect(serverAcid, serverNode) == 0 &&
        k2_->Context(firstName_, secondName_, methodName_) == 0)
        return ExcSet(OK, JexExcArgs("JexCrypto::setup_k2"));
    ExcSet(K2FAIL, JexExcArgs("JexCrypto::setup_k2"), k2_.get());
    DropK2();
    return K2FAIL;
}

void JexCrypto::DropK2() { k2_.reset(); }

int JexCrypto::Check(const JexNetMsg& msg, const JexBuffer& signature) {
    ExcSet(OK, JexExcArgs("JexCrypto::Check"));
    if (!ready_) return Fail(FAILURE, JexExcArgs("JexCrypto::Check"));
    if (k2_) {
        const int rc = k2_->Check(msg, signature, itemMask_);
        if (rc == JexK2::OK) return OK;
        return Fail(rc == JexK2::BADCHECK ? AUTHFAIL : K2FAIL, JexExcArgs("JexCrypto::Check"),
                    k2_.get());
    }
    JexBuffer expected, received;
    if (digest(msg, checkKey_, expected) != 0 || unwrap(signature, received) != 0)
        return Fail(FAILURE, JexExcArgs("JexCrypto::Check"));
    const bool same = SameBytes(expected, received);
    Wipe(expected);
    if (same) return OK;
    return Fail(AUTHFAIL, JexExcArgs("JexCrypto::Check"));
}

int JexCrypto::unwrap(const JexBuffer& in, JexBuffer& out) {
    out = in;
    return 0;
}

int JexCrypto::wrap(const JexBuffer& in, JexBuffer& out) {
    out = in;
    return 0;
}

int JexCrypto::Fail(int code, const JexExcArgs& args, JexException* cause) {
    ExcSet(code, args, cause);
    Raise();
    return code;
}

int JexCrypto::AttrCheck(const char* origin, int attribute, JexAttrKind kind,
                         const JexExcArg& value) {
    static constexpr JexAttrCodes kCodes{BADATTR, ATTRNOTINT, ATTRNOTSTRING, BADATTR};
    const int code = JexAttrCheck(kAttributes, attribute, kind, JexAttrAccess::kGet, kCodes);
    if (code == OK) return OK;
    return Fail(code, JexAttrFailure(kAttributes, "Unknown attribute", origin, attribute, value));
}

int JexCrypto::GetAttr(Attribute attribute, JexString& value) {
    const char* origin = "JexCrypto::GetAttr(Attribute, JexString &)";
    if (const int rc = AttrCheck(origin, attribute, K::kText, {}); rc != OK) return rc;
    switch (attribute) {
        case K2_SRC_ACID: value = k2SrcAcid_; break;
        case K2_SRC_NODE: value = k2SrcNode_; break;
        default: value = keyPath_.Text(); break;
    }
    return ExcSet(OK);
}

int JexCrypto::GetAttr(Attribute attribute, int& value) {
    const char* origin = "JexCrypto::GetAttr(Attribute, int &)";
    if (const int rc = AttrCheck(origin, attribute, K::kInt, {}); rc != OK) return rc;
    switch (attribute) {
        case K2_HOP_COUNT: value = hop_count_; break;
        case K2_HOP_LIMIT: value = hop_limit_; break;
        default: value = nodeAuth_; break;
    }
    return ExcSet(OK);
}

int JexCrypto::SetAttr(Attribute attribute, int value) {
    const char* origin = "JexCrypto::SetAttr(Attribute, int)";
    if (const int rc = AttrCheck(origin, attribute, K::kInt, value); rc != OK) return rc;
    switch (attribute) {
        case K2_HOP_COUNT: hop_count_ = value; break;
        case K2_HOP_LIMIT: hop_limit_ = value; break;
        default: nodeAuth_ = value; break;
    }
    return ExcSet(OK);
}

int JexCrypto::SetAttr(Attribute attribute, const JexString& value) {
    const char* origin = "JexCrypto::SetAttr (Attribute, const JexString &)";
    if (const int rc = AttrCheck(origin, attribute, K::kText, value); rc != OK) return rc;
    switch (attribute) {
        case K2_SRC_ACID: k2SrcAcid_ = value; break;
        case K2_SRC_NODE: k2SrcNode_ = value; break;
        default: keyPath_.Parse(value); break;
    }
    return ExcSet(OK);
}

int JexCrypto::Init() {
    ready_ = false;
    DropK2();
    ExcSet(FAILURE, JexExcArgs("JexCrypto::Init"));
    // The base class has no method to sign with.
    if (methodName_.Compare(kNoMethod) == 0) {
        Raise();
        return Code();
    }
    for (int i = 0; i < keyPath_.Count() && Code() != OK; ++i) {
        const JexString& entry = keyPath_[i];
        const int n = static_cast<int>(std::strlen(entry.Text()));
        if (n == 0) continue;  // ";;" and a leading or trailing ';' name nothing
        if (entry.FindChar('@') < 0) {
            // The key directory is spelt "Keys" by some settings and "keys"
            // by others: either spelling finds it.
            std::string directory = platform::ResolveNoCase("", entry.Text());
            if (directory.back() != '\\' && directory.back() != '/')
                directory += platform::kPathSeparator;
            keyDirectory_ = directory.c_str();
            if (key_file_names() == OK) load_keys();
            continue;
        }
        JexMutexLock hold(K2SetupLock());
        if (++k2SetupDepth < 2) setup_k2(entry);
        --k2SetupDepth;
    }
    if (Code() != OK) {
        Raise();
        return Code();
    }
    ready_ = true;
    return OK;
}

int JexCrypto::Sign(const JexNetMsg& msg, JexBuffer& signature) {
    if (!ready_) return Fail(FAILURE, JexExcArgs("JexCrypto::Sign"));
    if (k2_) {
        if (k2_->Sign(msg, signature, itemMask_) != JexK2::OK)
            return Fail(K2FAIL, JexExcArgs("JexCrypto::Sign"), k2_.get());
        return ExcSet(OK, JexExcArgs("JexCrypto::Sign"));
    }
    JexBuffer sum;
    const int failed = digest(msg, signKey_, sum) != 0 || wrap(sum, signature) != 0;
    Wipe(sum);
    if (failed) return Fail(FAILURE, JexExcArgs("JexCrypto::Sign"));
    return ExcSet(OK, JexExcArgs("JexCrypto::Sign"));
}

JexNullCrypto::JexNullCrypto(const JexString& firstName, const JexString& secondName, int suppress)
    : JexCrypto(firstName, secondName, suppress) {
    SetMethodName("NULL");
}

JexException* JexNullCrypto::Clone() {
    return new JexNullCrypto(firstName_, secondName_, Suppress());
}

JexMd5Crypto::JexMd5Crypto(const JexString& firstName, const JexString& secondName, int suppress)
    : JexCrypto(firstName, secondName, suppress) {
    SetMethodName("MD5");
}

JexException* JexMd5Crypto::Clone() {
    return new JexMd5Crypto(firstName_, secondName_, Suppress());
}

int JexMd5Crypto::digest(const JexNetMsg& msg, const JexBuffer& key, JexBuffer& out) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    if (key.Length() > 0)
        MD5Update(&ctx, reinterpret_cast<const uint8_t*>(key.Data()),
                  static_cast<size_t>(key.Length()));
    for (int i = 0; i < JexNetMsg::kItems; ++i) {
        const JexBuffer& item = msg[i];
        if (!item.Data() || item.Length() <= 0 || ItemMasked(i)) continue;
        MD5Update(&ctx, reinterpret_cast<const uint8_t*>(item.Data()),
                  static_cast<size_t>(item.Length()));
    }
    out.SetLength(MD5_DIGEST_LENGTH);
    if (out.Length() != MD5_DIGEST_LENGTH) return FAILURE;
    MD5Final(reinterpret_cast<uint8_t*>(out.Data()), &ctx);
    return 0;
}

JexPasswordCrypto::JexPasswordCrypto(const JexString& firstName, const JexString& secondName,
                                     int suppress)
    : JexCrypto(firstName, secondName, suppress) {
    SetMethodName("PASSWORD");
}

JexException* JexPasswordCrypto::Clone() {
    return new JexPasswordCrypto(firstName_, secondName_, Suppress());
}

int JexPasswordCrypto::load_keys() {
    if (get_key(signKeyFile_, signKey_) != OK) return Code();
    if (get_key(checkKeyFile_, checkKey_) != OK) return Code();
    checkKey_ = signKey_;
    return Code();
}

int JexPasswordCrypto::digest(const JexNetMsg&, const JexBuffer& key, JexBuffer& out) {
    out = key;
    return 0;
}
