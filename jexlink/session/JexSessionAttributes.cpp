// Session attributes: reading and setting them by number, as integers or texts.
#include <cstdio>

#include "jexlink/session/JexSession.h"
#include "jexlink/session/JexSessionItems.h"
#include "jexlink/transport/JexGateway.h"

namespace {

using K = JexAttrKind;

}  // namespace

// Numbers 7, 8, 9 and 16 have no name: they are reported as "Unknown attribute".
const JexAttrRow JexSession::kAttributes[] = {
    {APPLICATION, "APPLICATION", K::kText, true},
    {ASYMMETRIC, "ASYMMETRIC", K::kInt, false},
    {AUTHENTICATION, "AUTHENTICATION", K::kBoth, false},
    {CLIENT_VERSION, "CLIENT_VERSION", K::kText, true},
    {COMPRESSION, "COMPRESSION", K::kBoth, false},
    {CRC, "CRC", K::kInt, false},
    {CRYPTO_PATH, nullptr, K::kText, false},
    {CRYPTO_SRC_ACID, nullptr, K::kText, false},
    {CRYPTO_SRC_NODE, nullptr, K::kText, false},
    {DST_ACID, "DST_ACID", K::kText, true},
    {DST_NODE, "DST_NODE", K::kText, false},
    {DST_USER, "DST_USER", K::kText, true},
    {ENCRYPTION, "ENCRYPTION", K::kBoth, false},
    {LANGUAGE, "LANGUAGE", K::kText, false},
    {NODE_AUTH, nullptr, K::kInt, false},
    {PARADIGM, "PARADIGM", K::kBoth, false},
    {PATH, "PATH", K::kText, true},
    {PRIORITY, "PRIORITY", K::kInt, false},
    {RAISE_TIMEOUT, "RAISE_TIMEOUT", K::kInt, false},
    {READ_TIMEOUT, "READ_TIMEOUT", K::kInt, false},
    {ROUTE_MAP, "ROUTE_MAP", K::kText, false},
    {SERVER_VERSION, "SERVER_VERSION", K::kText, true},
    {SRC_ACID, "SRC_ACID", K::kText, false},
    {SRC_NODE, "SRC_NODE", K::kText, false},
    {SRC_USER, "SRC_USER", K::kText, true},
    {STATE, "STATE", K::kBoth, true},
};

namespace {

// "%d\n" of a rejected integer value, as the attribute errors show it.
JexString IntValueText(int value) {
    char text[24];
    std::snprintf(text, sizeof text, "%d\n", value);
    return JexString(text);
}

constexpr JexAttrCodes kAttrCodes{JexSession::BADATTR, JexSession::ATTRNOTINT,
                                  JexSession::ATTRNOTSTRING, JexSession::ATTRREADONLY};

}  // namespace

const char* JexSession::attribute_name(int attribute) {
    return JexAttrName(kAttributes, attribute, "Unknown attribute");
}

std::span<const JexAttrRow> JexSession::AttributeRows() { return kAttributes; }

int JexSession::AttrFail(int code, int attribute, const JexExcArg& value) {
    return Fail(code,
                JexAttrFailure(kAttributes, "Unknown attribute", operation_, attribute, value));
}

int JexSession::AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access,
                          const char* value) {
    const int code = JexAttrCheck(kAttributes, attribute, kind, access, kAttrCodes);
    return code == OK ? OK : AttrFail(code, attribute, value);
}

int JexSession::AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access, int value) {
    const int code = JexAttrCheck(kAttributes, attribute, kind, access, kAttrCodes);
    return code == OK ? OK : AttrFail(code, attribute, IntValueText(value));
}

int JexSession::SetList(JexFieldedString& list, const char* text) {
    list.Parse(text ? text : "");
    return OK;
}

int JexSession::SetNamedCode(Attribute attribute, int& field, const JexCodeName* table, int code) {
    for (const JexCodeName* row = table; row->code != -1; ++row) {
        if (row->code != code) continue;
        field = code;
        return OK;
    }
    return AttrFail(BADATTRVALUE, attribute, IntValueText(code));
}

int JexSession::SetNamedText(Attribute attribute, int& field, const JexCodeName* table,
                             const char* name) {
    const int code = jex_text_code(table, name ? name : "");
    if (code == -1) return AttrFail(BADATTRVALUE, attribute, name ? name : "");
    field = code;
    return OK;
}

int JexSession::GetAttr(Attribute attribute, int& value) {
    Begin("JexSession::GetAttr(Attribute,int&)");
    ExcSet(OK);
    if (const int rc = AttrCheck(attribute, K::kInt, JexAttrAccess::kGet); rc != OK) return rc;
    switch (attribute) {
        case ASYMMETRIC: value = asymmetric_; break;
        case AUTHENTICATION: value = authentication_; break;
        case COMPRESSION: value = compression_; break;
        case CRC: value = crc_; break;
        case ENCRYPTION: value = encryption_; break;
        case NODE_AUTH: value = nodeAuth_; break;
        case PARADIGM: value = paradigm_; break;
        case PRIORITY: value = priority_; break;
        case RAISE_TIMEOUT: value = raiseTimeout_; break;
        case READ_TIMEOUT: value = readTimeout_; break;
        case STATE: value = state_; break;
        default: break;
    }
    return OK;
}

int JexSession::GetAttr(Attribute attribute, JexString& value) {
    Begin("JexSession::GetAttr(Attribute,value&)");
    ExcSet(OK);
    // NODE_AUTH is not read as a text, not even to say it is not one.
    if (attribute == NODE_AUTH) return AttrFail(BADATTR, attribute);
    if (const int rc = AttrCheck(attribute, K::kText, JexAttrAccess::kGet); rc != OK) return rc;
    switch (attribute) {
        case APPLICATION: value = application_; break;
        case AUTHENTICATION: value = jex_code_text(kAuthenticationNames, authentication_); break;
        case CLIENT_VERSION: value = clientVersion_.Text(); break;
        case COMPRESSION: value = jex_code_text(kCompressionNames, compression_); break;
        case CRYPTO_PATH: value = cryptoPath_; break;
        case CRYPTO_SRC_ACID: value = cryptoSrcAcid_; break;
        case CRYPTO_SRC_NODE: value = cryptoSrcNode_; break;
        case DST_ACID: value = dstAcids_.Text(); break;
        case DST_NODE: value = dstNodes_.Text(); break;
        case DST_USER: value = dstUser_; break;
        case ENCRYPTION: value = jex_code_text(kEncryptionNames, encryption_); break;
        case LANGUAGE: value = language_; break;
        case PARADIGM: value = jex_code_text(kParadigmNames, paradigm_); break;
        case SERVER_VERSION: value = serverVersion_.Text(); break;
        case SRC_ACID: value = srcAcids_.Text(); break;
        case SRC_NODE: value = srcNodes_.Text(); break;
        case SRC_USER: value = srcUser_; break;
        case STATE: value = state_name(state_); break;
        case PATH: return gateway_->GetAttr(JexGateway::PATH, value) != 0 ? GATEWAYERR : OK;
        case ROUTE_MAP:
            return gateway_->GetAttr(JexGateway::ROUTE_MAP, value) != 0 ? GATEWAYERR : OK;
        default: break;
    }
    return OK;
}

int JexSession::SetAttr(Attribute attribute, int value) {
    Begin("JexSession::SetAttr(Attribute, int)");
    ExcSet(OK);
    switch (attribute) {
        case ASYMMETRIC:
        case AUTHENTICATION:
        case ENCRYPTION:
        case NODE_AUTH:
        case PARADIGM:
        case PRIORITY:
            if (state_ != IDLE) return WrongState();
            break;
        default: break;
    }
    if (const int rc = AttrCheck(attribute, K::kInt, JexAttrAccess::kSet, value); rc != OK)
        return rc;
    switch (attribute) {
        case ASYMMETRIC: asymmetric_ = value != 0; return OK;
        case AUTHENTICATION:
            return SetNamedCode(attribute, authentication_, kAuthenticationNames, value);
        case COMPRESSION: {
            const int rc = SetNamedCode(attribute, compression_, kCompressionNames, value);
            if (rc == OK) currentCompression_ = compression_;
            return rc;
        }
        case CRC: crc_ = value != 0; return OK;
        case ENCRYPTION: return SetNamedCode(attribute, encryption_, kEncryptionNames, value);
        case NODE_AUTH: nodeAuth_ = value != 0; return OK;
        case PARADIGM: return SetNamedCode(attribute, paradigm_, kParadigmNames, value);
        case PRIORITY:
            if (value < 0 || value > 255)
                return AttrFail(BADATTRVALUE, attribute, IntValueText(value));
            priority_ = value;
            return OK;
        case RAISE_TIMEOUT: raiseTimeout_ = value != 0; return OK;
        case READ_TIMEOUT: readTimeout_ = value; return OK;
        default: return OK;
    }
}

int JexSession::SetAttr(Attribute attribute, const char* value) {
    Begin("JexSession::SetAttr(Attribute, const char *)");
    ExcSet(OK);
    const char* text = value ? value : "";
    switch (attribute) {
        case AUTHENTICATION:
        case COMPRESSION:
        case CRYPTO_PATH:
        case CRYPTO_SRC_ACID:
        case CRYPTO_SRC_NODE:
        case DST_NODE:
        case ENCRYPTION:
        case PARADIGM:
        case ROUTE_MAP:
        case SRC_ACID:
        case SRC_NODE:
            if (state_ != IDLE) return WrongState();
            break;
        case LANGUAGE:
            if (state_ != IDLE && state_ != STC) return WrongState();
            break;
        default: break;
    }
    if (const int rc = AttrCheck(attribute, K::kText, JexAttrAccess::kSet, text); rc != OK)
        return rc;
    switch (attribute) {
        case AUTHENTICATION:
            return SetNamedText(attribute, authentication_, kAuthenticationNames, text);
        case COMPRESSION: {
            const int rc = SetNamedText(attribute, compression_, kCompressionNames, text);
            if (rc == OK) currentCompression_ = compression_;
            return rc;
        }
        case ENCRYPTION: return SetNamedText(attribute, encryption_, kEncryptionNames, text);
        case PARADIGM: return SetNamedText(attribute, paradigm_, kParadigmNames, text);
        case CRYPTO_PATH: cryptoPath_ = text; return OK;
        case CRYPTO_SRC_ACID: cryptoSrcAcid_ = text; return OK;
        case CRYPTO_SRC_NODE: cryptoSrcNode_ = text; return OK;
        case DST_NODE: return SetList(dstNodes_, text);
        case SRC_ACID: return SetList(srcAcids_, text);
        case SRC_NODE: return SetList(srcNodes_, text);
        case LANGUAGE: language_ = text; return OK;
        case ROUTE_MAP:
            return gateway_->SetAttr(JexGateway::ROUTE_MAP, JexString(text)) != 0 ? GATEWAYERR : OK;
        default: return OK;
    }
}
