// Session attributes: reading and setting them by number, as integers or texts.
#include <cstdio>

#include "jexlink/session/JexSession.h"
#include "jexlink/session/JexSessionItems.h"
#include "jexlink/transport/JexGateway.h"

// Numbers 7, 8, 9 and 16 have no row: they are reported as "Unknown attribute".
const JexCodeName JexSession::kAttributeNames[] = {
    {1, "APPLICATION"},    {2, "ASYMMETRIC"},         {3, "AUTHENTICATION"},
    {4, "CLIENT_VERSION"}, {5, "COMPRESSION"},        {6, "CRC"},
    {10, "DST_ACID"},      {11, "DST_NODE"},          {13, "DST_USER"},
    {14, "ENCRYPTION"},    {15, "LANGUAGE"},          {17, "PARADIGM"},
    {18, "PATH"},          {19, "PRIORITY"},          {20, "RAISE_TIMEOUT"},
    {21, "READ_TIMEOUT"},  {22, "ROUTE_MAP"},         {23, "SERVER_VERSION"},
    {24, "SRC_ACID"},      {25, "SRC_NODE"},          {27, "SRC_USER"},
    {28, "STATE"},         {-1, "Unknown attribute"},
};

namespace {

// "%d\n" of a rejected integer value, as the attribute errors show it.
JexString IntValueText(int value) {
    char text[24];
    std::snprintf(text, sizeof text, "%d\n", value);
    return JexString(text);
}

}  // namespace

const char* JexSession::attribute_name(int attribute) {
    return jex_code_text(kAttributeNames, attribute);
}

int JexSession::AttrFail(int code, int attribute, const JexExcArg& value) {
    return Fail(code, JexExcArgs(operation_, attribute_name(attribute), attribute, value));
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
    switch (attribute) {
        case ASYMMETRIC: value = asymmetric_; return OK;
        case AUTHENTICATION: value = authentication_; return OK;
        case COMPRESSION: value = compression_; return OK;
        case CRC: value = crc_; return OK;
        case ENCRYPTION: value = encryption_; return OK;
        case NODE_AUTH: value = node_auth_; return OK;
        case PARADIGM: value = paradigm_; return OK;
        case PRIORITY: value = priority_; return OK;
        case RAISE_TIMEOUT: value = raise_timeout_; return OK;
        case READ_TIMEOUT: value = read_timeout_; return OK;
        case STATE: value = state_; return OK;
        case APPLICATION:
        case CLIENT_VERSION:
        case CRYPTO_PATH:
        case CRYPTO_SRC_ACID:
        case CRYPTO_SRC_NODE:
        case DST_ACID:
        case DST_NODE:
        case DST_USER:
        case LANGUAGE:
        case PATH:
        case ROUTE_MAP:
        case SERVER_VERSION:
        case SRC_ACID:
        case SRC_NODE:
        case SRC_USER: return AttrFail(ATTRNOTINT, attribute);
        default: return AttrFail(BADATTR, attribute);
    }
}

int JexSession::GetAttr(Attribute attribute, JexString& value) {
    Begin("JexSession::GetAttr(Attribute,value&)");
    ExcSet(OK);
    switch (attribute) {
        case APPLICATION: value = application_; return OK;
        case AUTHENTICATION:
            value = jex_code_text(kAuthenticationNames, authentication_);
            return OK;
        case CLIENT_VERSION: value = client_version_.Text(); return OK;
        case COMPRESSION: value = jex_code_text(kCompressionNames, compression_); return OK;
        case CRYPTO_PATH: value = crypto_path_; return OK;
        case CRYPTO_SRC_ACID: value = crypto_src_acid_; return OK;
        case CRYPTO_SRC_NODE: value = crypto_src_node_; return OK;
        case DST_ACID: value = dst_acids_.Text(); return OK;
        case DST_NODE: value = dst_nodes_.Text(); return OK;
        case DST_USER: value = dst_user_; return OK;
        case ENCRYPTION: value = jex_code_text(kEncryptionNames, encryption_); return OK;
        case LANGUAGE: value = language_; return OK;
        case PARADIGM: value = jex_code_text(kParadigmNames, paradigm_); return OK;
        case SERVER_VERSION: value = server_version_.Text(); return OK;
        case SRC_ACID: value = src_acids_.Text(); return OK;
        case SRC_NODE: value = src_nodes_.Text(); return OK;
        case SRC_USER: value = src_user_; return OK;
        case STATE: value = state_name(state_); return OK;
        case PATH: return gateway_->GetAttr(JexGateway::PATH, value) != 0 ? GATEWAYERR : OK;
        case ROUTE_MAP:
            return gateway_->GetAttr(JexGateway::ROUTE_MAP, value) != 0 ? GATEWAYERR : OK;
        case ASYMMETRIC:
        case CRC:
        case PRIORITY:
        case RAISE_TIMEOUT:
        case READ_TIMEOUT: return AttrFail(ATTRNOTSTRING, attribute);
        default: return AttrFail(BADATTR, attribute);  // NODE_AUTH among them
    }
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
    switch (attribute) {
        case ASYMMETRIC: asymmetric_ = value != 0; return OK;
        case AUTHENTICATION:
            return SetNamedCode(attribute, authentication_, kAuthenticationNames, value);
        case COMPRESSION: {
            const int rc = SetNamedCode(attribute, compression_, kCompressionNames, value);
            if (rc == OK) current_compression_ = compression_;
            return rc;
        }
        case CRC: crc_ = value != 0; return OK;
        case ENCRYPTION: return SetNamedCode(attribute, encryption_, kEncryptionNames, value);
        case NODE_AUTH: node_auth_ = value != 0; return OK;
        case PARADIGM: return SetNamedCode(attribute, paradigm_, kParadigmNames, value);
        case PRIORITY:
            if (value < 0 || value > 255)
                return AttrFail(BADATTRVALUE, attribute, IntValueText(value));
            priority_ = value;
            return OK;
        case RAISE_TIMEOUT: raise_timeout_ = value != 0; return OK;
        case READ_TIMEOUT: read_timeout_ = value; return OK;
        case STATE: return AttrFail(ATTRREADONLY, attribute, IntValueText(value));
        case APPLICATION:
        case CLIENT_VERSION:
        case CRYPTO_PATH:
        case CRYPTO_SRC_ACID:
        case CRYPTO_SRC_NODE:
        case DST_ACID:
        case DST_NODE:
        case DST_USER:
        case LANGUAGE:
        case PATH:
        case ROUTE_MAP:
        case SERVER_VERSION:
        case SRC_ACID:
        case SRC_NODE:
        case SRC_USER: return AttrFail(ATTRNOTINT, attribute, IntValueText(value));
        default: return AttrFail(BADATTR, attribute, IntValueText(value));
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
    switch (attribute) {
        case AUTHENTICATION:
            return SetNamedText(attribute, authentication_, kAuthenticationNames, text);
        case COMPRESSION: {
            const int rc = SetNamedText(attribute, compression_, kCompressionNames, text);
            if (rc == OK) current_compression_ = compression_;
            return rc;
        }
        case ENCRYPTION: return SetNamedText(attribute, encryption_, kEncryptionNames, text);
        case PARADIGM: return SetNamedText(attribute, paradigm_, kParadigmNames, text);
        case CRYPTO_PATH: crypto_path_ = text; return OK;
        case CRYPTO_SRC_ACID: crypto_src_acid_ = text; return OK;
        case CRYPTO_SRC_NODE: crypto_src_node_ = text; return OK;
        case DST_NODE: return SetList(dst_nodes_, text);
        case SRC_ACID: return SetList(src_acids_, text);
        case SRC_NODE: return SetList(src_nodes_, text);
        case LANGUAGE: language_ = text; return OK;
        case ROUTE_MAP:
            return gateway_->SetAttr(JexGateway::ROUTE_MAP, JexString(text)) != 0 ? GATEWAYERR : OK;
        case APPLICATION:
        case CLIENT_VERSION:
        case DST_ACID:
        case DST_USER:
        case PATH:
        case SERVER_VERSION:
        case SRC_USER:
        case STATE: return AttrFail(ATTRREADONLY, attribute, text);
        case ASYMMETRIC:
        case CRC:
        case NODE_AUTH:
        case PRIORITY:
        case RAISE_TIMEOUT:
        case READ_TIMEOUT: return AttrFail(ATTRNOTSTRING, attribute, text);
        default: return AttrFail(BADATTR, attribute, text);
    }
}
