// Signing methods: the JexCrypto base (keys, key path, attributes, Init, Sign, Check) and the NULL,
// MD5 and PASSWORD methods.
#pragma once

#include <memory>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"

class JexK2;

#define JEXCRYPTO_TEXTS(JEX_TEXT)                                                        \
    JEX_TEXT(0, OK, "Operation successful")                                              \
    JEX_TEXT(1, ATTRNOTINT, "Attribute \"%s\" (enum=%d) is not an integer")              \
    JEX_TEXT(2, ATTRNOTSTRING, "Attribute \"%s\" (enum=%d) is not a string")             \
    JEX_TEXT(3, ATTRREADONLY, "Attribute \"%s\" (enum=%d) is read-only")                 \
    JEX_TEXT(4, AUTHFAIL, "Authentication failure")                                      \
    JEX_TEXT(5, BADATTR, "Invalid attribute (enum=%2$d) specified")                      \
    JEX_TEXT(6, BADATTRVALUE, "Invalid \"%s\" (enum=%d) attribute value specified (%s)") \
    JEX_TEXT(7, BADKEY, "Key file %s does not contain a valid key")                      \
    JEX_TEXT(8, BADMAGIC, "Bad magic number in key file %s")                             \
    JEX_TEXT(9, CORRUPT, "Corrupt encrypted input")                                      \
    JEX_TEXT(10, FAILURE, "Operation failed")                                            \
    JEX_TEXT(11, K2FAIL, "K2 cryptographic services failure")                            \
    JEX_TEXT(12, NOKEYFILE, "Key file not found: %s")                                    \
    JEX_TEXT(13, READERR, "Error reading key file %s")                                   \
    JEX_TEXT(14, RSALIBERR, "RSA library error")

// A signing method between two named parties: it signs what goes out with
// one key, checks what comes in with another, and computes its digest over
// the items of a net message that its item mask does not leave out. Keys
// come from key files found along the key path (attribute PATH, from
// JEXCRYPTO_PATH or the installation's key directory); a key path entry of
// the form "method@acid/node" names a K2 signing server instead.
//
// Create a method with Create (or a subclass constructor), set its
// attributes, call Init, then Sign and Check. Sign and Check fail with
// FAILURE until an Init has succeeded, so an object whose keys never
// loaded (or the base class, which has no method) never signs or accepts
// anything. One object is used by one thread at a time.
class JexCrypto : public JexException {
public:
    enum Error { JEXCRYPTO_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    enum Attribute : int {
        K2_HOP_COUNT = 1,
        K2_HOP_LIMIT = 2,
        K2_SRC_ACID = 3,
        K2_SRC_NODE = 4,
        NODE_AUTH = 5,
        PATH = 6,
    };
    // The attribute's name; "Unknown attribute" for any other value.
    static const char* AttributeName(int attribute);
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();

    static constexpr int kItemMaskBytes = 32;

    JexCrypto(const JexString& firstName, const JexString& secondName, int suppress);
    ~JexCrypto() override;

    // The method called `name` ("NULL", "MD5" or "PASSWORD", in any case),
    // made with these arguments; null for any other name. The caller owns it.
    static JexCrypto* Create(const char* name, const JexString& firstName,
                             const JexString& secondName, int suppress);

    JexException* Clone() override;

    // The virtual operations, in the order peers of the class expect them.
protected:
    // Reads a key from the first of two files that opens.
    virtual int get_key(const JexString& firstFile, const JexString& secondFile, JexBuffer& key);
    virtual int get_key(const JexString& file, JexBuffer& key);
    // Fills the sign key and the check key from the current key directory.
    virtual int load_keys();
    // The method's digest of the message's unmasked items under the key.
    virtual int digest(const JexNetMsg& msg, const JexBuffer& key, JexBuffer& out);
    // Builds the sign and check key file names for the current key directory.
    virtual int key_file_names();
    // Attaches a K2 client for a "method@acid/node" key path entry: its
    // session authenticates with the named methods, connects to the server
    // acid/node and names this method and its parties in a Context request.
    virtual int setup_k2(const JexString& entry);

public:
    // 0 when `signature` is the message's signature under the check key.
    virtual int Check(const JexNetMsg& msg, const JexBuffer& signature);

protected:
    virtual int unwrap(const JexBuffer& in, JexBuffer& out);
    virtual int wrap(const JexBuffer& in, JexBuffer& out);

public:
    virtual int GetAttr(Attribute attribute, JexString& value);
    virtual int GetAttr(Attribute attribute, int& value);
    // Tries the key path entries in order until one yields the keys.
    virtual int Init();
    virtual int SetAttr(Attribute attribute, int value);
    virtual int SetAttr(Attribute attribute, const JexString& value);
    // Sets `signature` to the message's signature under the sign key.
    virtual int Sign(const JexNetMsg& msg, JexBuffer& signature);

    // Leaves item `item` (0 to 255) out of every digest.
    void MaskItem(int item);
    // The 32-byte item mask: bit i (byte i / 8, least significant bit
    // first) set leaves item i out.
    const JexBuffer& ItemMask() const { return itemMask_; }
    const JexString& MethodName() const { return methodName_; }

protected:
    void SetMethodName(const char* name) { methodName_ = name; }
    bool ItemMasked(int item) const;

    JexBuffer itemMask_;
    JexString checkKeyFile_;
    JexBuffer checkKey_;
    JexString secondName_;
    JexString keyDirectory_;
    int hop_count_ = 0;
    int hop_limit_ = 1;
    JexString k2SrcAcid_;
    JexString k2SrcNode_;
    JexString methodName_;
    int nodeAuth_ = 0;
    JexFieldedString keyPath_;
    JexString signKeyFile_;
    JexBuffer signKey_;
    JexString firstName_;
    // Set by setup_k2: Sign and Check then go to the K2 server. Owned.
    std::unique_ptr<JexK2> k2_;

private:
    // Records and raises the error; returns its code whether or not a
    // handler took it (Raise answers 0 while the suppress flag is set).
    int Fail(int code, const JexExcArgs& args, JexException* cause = nullptr);
    // 0, or the failure of reading or setting `attribute` as a `kind`.
    int AttrCheck(const char* origin, int attribute, JexAttrKind kind, const JexExcArg& value);
    void DropK2();
    // Set by a successful Init; Sign and Check refuse to work without it.
    bool ready_ = false;
};

// The NULL method: an empty signature, accepted only as such, once the
// keys of the pair have been found.
class JexNullCrypto : public JexCrypto {
public:
    JexNullCrypto(const JexString& firstName, const JexString& secondName, int suppress);
    JexException* Clone() override;
};

// The MD5 method: the MD5 digest of the shared key (padding included)
// followed by the unmasked items in ascending order.
class JexMd5Crypto : public JexCrypto {
public:
    JexMd5Crypto(const JexString& firstName, const JexString& secondName, int suppress);
    JexException* Clone() override;

protected:
    int digest(const JexNetMsg& msg, const JexBuffer& key, JexBuffer& out) override;
};

// The PASSWORD method: the signature is the key itself. Both key files of
// the pair must exist; checking uses the sign key, so both parties keep
// the same password in both files.
class JexPasswordCrypto : public JexCrypto {
public:
    JexPasswordCrypto(const JexString& firstName, const JexString& secondName, int suppress);
    JexException* Clone() override;

protected:
    int load_keys() override;
    int digest(const JexNetMsg& msg, const JexBuffer& key, JexBuffer& out) override;
};
