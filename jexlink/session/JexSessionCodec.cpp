// Session wire messages: CRC, tracing, sending and receiving, signatures, notices, and
// the set-up of the signing methods, compression and encryption.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/session/JexSessionItems.h"
#include "jexlink/transport/JexCompressionBase.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexLzw.h"

using jexsession::forcedCorrupt;
using jexsession::Present;
using jexsession::SetByte;
using jexsession::SetItem;
using jexsession::testFlags;
using jexsession::trace_flags;

namespace {

// The reflected CRC-32 table of the message CRC, and the CRC-16 table that
// the module keeps beside it.
const JexCrcTable& Crc32Table() {
    static const JexCrcTable table(JexCrc::kCrc32Polynomial);
    return table;
}
[[maybe_unused]] const JexCrcTable kCrc16Table(JexCrc::kCrc16Polynomial);

constexpr const char* kAuthRejText = "Monkey dust found whilst authenticating you";
constexpr const char* kFailText = "Monkey dust found in YOUR options";

}  // namespace

uint32_t JexSession::msg_crc(const JexNetMsg& msg) { return msg_crc(msg, msg[kItemData]); }

uint32_t JexSession::msg_crc(const JexNetMsg& msg, const JexBuffer& data) {
    JexCrc crc(Crc32Table(), 0xFFFFFFFFu);
    const auto add = [&crc](const JexBuffer& item) {
        if (Present(item) && item.Length() > 0) crc.Update(item.Data(), item.Length());
    };
    // The present items in slot order, data standing in the data item's slot.
    bool dataAdded = false;
    for (int i = msg.NextItem(-1); i < JexNetMsg::kItems; i = msg.NextItem(i)) {
        if (i > kItemData && !dataAdded) {
            add(data);
            dataAdded = true;
        }
        if (i != kItemData && i != kItemCrc) add(msg[i]);
    }
    if (!dataAdded) add(data);
    return crc.Value();
}

void JexSession::trace_msg(std::ostream& out, const JexNetMsg& msg, const char* verb) {
    const int flag = msg.Type() == kData ? kTraceData : kTraceHandshake;
    if (trace_flags & flag) TraceLine(out, msg, verb);
}

void JexSession::TraceLine(std::ostream& out, const JexNetMsg& msg, const char* verb) {
    const int flags = trace_flags;
    char line[512];
    std::snprintf(line, sizeof line, "\n%s: %s, %s %s\n", operation_, state_name(state_).Text(),
                  verb, msg_name(msg.Type()));
    out << line;
    if (flags & kTraceDump) msg.Dump(out);
    out.flush();
}

int JexSession::send_msg(JexNetMsg& msg, bool more) {
    if (crc_) {
        msg[kItemCrc].SetLong(static_cast<int32_t>(msg_crc(msg)));
    } else {
        msg[kItemCrc].Free();
    }
    trace_msg(std::cerr, msg, "Sending");
    JexBuffer bytes;
    if (msg.Encode(bytes) != JexNetMsg::kEncoded)
        return Fail(FAILURE, JexExcArgs(operation_));  // an item too large to frame
    const JexBuffer* pieces[1] = {&bytes};
    if (gateway_->PutMsg(pieces, 1, 0, more) != 0) return GATEWAYERR;
    return OK;
}

int JexSession::send_msg(JexNetMsg& msg, const JexBuffer& data, bool more) {
    const int traced = msg.Type() == kData ? kTraceData : kTraceHandshake;
    if (trace_flags & traced) {
        // A traced message shows its data: it is sent the ordinary way.
        SetItem(msg[kItemData], data);
        return send_msg(msg);
    }
    msg[kItemData].Free();
    if (crc_) {
        msg[kItemCrc].SetLong(static_cast<int32_t>(msg_crc(msg, data)));
    } else {
        msg[kItemCrc].Free();
    }
    // The head and tail keep their storage for the next message.
    JexBuffer& head = dataHead_;
    JexBuffer& tail = dataTail_;
    if (msg.EncodeAround(kItemData, data, head, tail) != JexNetMsg::kEncoded)
        return Fail(FAILURE, JexExcArgs(operation_));  // an item too large to frame
    const JexBuffer* pieces[3] = {&head, &data, &tail};
    if (gateway_->PutMsg(pieces, 3, 0, more) != 0) return GATEWAYERR;
    return OK;
}

int JexSession::recv_msg(JexNetMsg& msg) { return RecvWait(msg, 0); }

int JexSession::RecvBounded(JexNetMsg& msg) { return RecvWait(msg, BoundSeconds()); }

int JexSession::RecvWait(JexNetMsg& msg, int wait) {
    // The data item keeps the storage the gateway read it into.
    const int rc = gateway_->GetMsg(msg, wait);
    if (rc == JexGateway::SHUTDOWN) {
        DropGateway();
        return Fail(PROTOCOL, JexExcArgs(operation_));
    }
    if (rc == JexGateway::TIMEOUT) {
        if (Code() != TIMEOUT) Fail(TIMEOUT, JexExcArgs(operation_), &*gateway_);
        return TIMEOUT;
    }
    if (rc != 0) return GATEWAYERR;
    if (msg.Corrupt()) return Fail(CORRUPTMSG, JexExcArgs(operation_));
    trace_msg(std::cerr, msg, "Received");
    const JexBuffer& crc = msg[kItemCrc];
    if (crc_ && Present(crc) && static_cast<uint32_t>(crc.GetLong()) != msg_crc(msg))
        return Fail(CRCFAIL, JexExcArgs(operation_));
    if (testFlags & kTestCorrupt) {
        if (forcedCorrupt.fetch_sub(1) <= 0) {
            std::fputs("\n*** WARNING *** Changing JexSession message type to zero\n\n", stderr);
            std::fflush(stderr);
            msg.Type(0);
        }
    }
    return OK;
}

JexCrypto* JexSession::sign_msg(JexNetMsg& msg) {
    if (cryptoCount_ == 0) return nullptr;
    JexNetMsg block;
    msg[kItemScratch].SetLong(0);
    JexCrypto* last = nullptr;
    for (int i = 0; i < cryptoCount_; ++i) {
        last = crypto_[i];
        JexBuffer signature;
        const int rc = last->Sign(msg, signature);
        SetItem(block[i], signature);
        if (rc != 0) break;
        SetItem(msg[kItemScratch], signature);
    }
    JexBuffer encoded;
    if (block.Encode(encoded) == JexNetMsg::kEncoded) SetItem(msg[kItemSignature], encoded);
    msg[kItemScratch].Free();
    return last;
}

JexCrypto* JexSession::check_msg(JexNetMsg& msg) {
    if (cryptoCount_ == 0) return nullptr;
    msg[kItemScratch].SetLong(0);
    JexNetMsg block;
    if (Present(msg[kItemSignature])) {
        block.Decode(msg[kItemSignature]);
        if (block.Corrupt()) {
            // A signature block that does not decode authenticates nobody.
            msg[kItemScratch].Free();
            crypto_[0]->ExcSet(JexCrypto::AUTHFAIL, JexExcArgs(operation_));
            return crypto_[0];
        }
    }
    JexCrypto* last = nullptr;
    for (int i = 0; i < cryptoCount_; ++i) {
        last = crypto_[i];
        if (last->Check(msg, block[i]) != 0) break;
        SetItem(msg[kItemScratch], block[i]);
    }
    msg[kItemScratch].Free();
    return last;
}

void JexSession::make_key_block(JexBuffer& block) {
    block.Free();
    block.SetLength(kKeyBlockSize);
    std::memset(block.Data(), 0, kKeyBlockSize);
}

int JexSession::check_key_block(const JexBuffer& block) {
    if (block.Length() == kKeyBlockSize && block.Data()[kKeyBlockSize - 1] == 0) return OK;
    ExcSet(EKEYMISMATCH, JexExcArgs(operation_));
    send_fail();
    return EKEYMISMATCH;
}

int JexSession::send_authrej() {
    JexNetMsg msg(kCrAuthRej);
    SetItem(msg[kItemData], kAuthRejText);
    SetItem(msg[kItemDate], JexFormatTime());
    return SendNotice(msg);
}

int JexSession::SendNotice(JexNetMsg& msg) {
    // Telling the peer of a failure must not replace the failure itself.
    const bool quiet = quietGateway_;
    quietGateway_ = true;
    const int rc = send_msg(msg);
    quietGateway_ = quiet;
    return rc;
}

int JexSession::send_fail() {
    JexNetMsg msg(kCrFail);
    SetItem(msg[kItemData], kFailText);
    SetItem(msg[kItemDate], JexFormatTime());
    LoadException(msg);
    SetItem(msg[kItemVersion], LocalVersionText());
    return SendNotice(msg);
}

int JexSession::send_dataack(const JexNetMsg& datasyn) {
    JexNetMsg msg(kDataAck);
    SetItem(msg[kItemSequence], datasyn[kItemSequence]);
    return send_msg(msg);
}

void JexSession::BuildCrstart(JexNetMsg& msg, const JexString& date, const JexBuffer& challenge) {
    msg.Clear();
    msg.Type(kCrStart);
    SetItem(msg[kItemApplication], application_);
    SetByte(msg[kItemAsymmetric], asymmetric_ ? 1 : 0);
    SetItem(msg[kItemAuthMethod], jex_code_text(kAuthenticationNames, authentication_));
    SetItem(msg[kItemCompression], jex_code_text(kCompressionNames, compression_));
    SetItem(msg[kItemDate], date);
    SetItem(msg[kItemDstAcid], dstAcids_);
    SetItem(msg[kItemDstNode], dstNodes_);
    SetItem(msg[kItemEncryption], jex_code_text(kEncryptionNames, encryption_));
    SetItem(msg[kItemLanguage], language_);
    if (nodeAuth_) msg[kItemNodeAuth].SetLong(1);
    SetByte(msg[kItemPriority], priority_);
    SetItem(msg[kItemSrcAcid], srcAcids_);
    SetItem(msg[kItemSrcNode], srcNodes_);
    SetItem(msg[kItemSrcUser], srcUser_);
    SetItem(msg[kItemVersion], clientVersion_);
    make_key_block(msg[kItemData]);
    SetItem(msg[kItemChallenge], challenge);
}

// ---------------------------------------------------------------------------
// Set-up of the signing methods, compression and encryption.

int JexSession::crypto_status(int cryptoCode) {
    if (cryptoCode == 0) return OK;
    if (cryptoCode == JexCrypto::AUTHFAIL || cryptoCode == JexCrypto::FAILURE) return AUTHFAIL;
    return CRYPTOKEYERR;
}

int JexSession::setup_auth(JexFieldedString& localNames, JexFieldedString& remoteNames) {
    DeleteCrypto();
    const int total = localNames.Count() * remoteNames.Count();
    if (total == 0) {
        // Nobody to sign for or to check: nothing can be authenticated.
        ExcSet(AUTHFAIL, JexExcArgs(operation_));
        return AUTHFAIL;
    }
    crypto_ = new JexCrypto*[static_cast<size_t>(total)]();
    JexCrypto* last = nullptr;
    int rc = 0;
    for (int i = 0; i < localNames.Count() && rc == 0; ++i) {
        for (int j = 0; j < remoteNames.Count() && rc == 0; ++j) {
            const JexString local = localNames.Field(i);
            const JexString remote = remoteNames.Field(j);
            switch (authentication_) {
                case NOAUTH: last = new JexNullCrypto(local, remote, 1); break;
                case MD5: last = new JexMd5Crypto(local, remote, 1); break;
                case PASSWORD: last = new JexPasswordCrypto(local, remote, 1); break;
                default:
                    ExcSet(UNSUPPORTED,
                           JexExcArgs("JexSession::setup_auth", "authentication",
                                      jex_code_text(kAuthenticationNames, authentication_)));
                    return UNSUPPORTED;
            }
            crypto_[cryptoCount_++] = last;
            rc = last->SetAttr(JexCrypto::K2_SRC_ACID, cryptoSrcAcid_);
            if (rc == 0) rc = last->SetAttr(JexCrypto::K2_SRC_NODE, cryptoSrcNode_);
            if (rc == 0 && cryptoPath_.Text()[0] != 0)
                rc = last->SetAttr(JexCrypto::PATH, cryptoPath_);
            if (rc == 0) rc = last->Init();
            if (rc == 0) {
                last->MaskItem(kItemSignature);
                last->MaskItem(kItemCrc);
            }
        }
    }
    const int status = crypto_status(last->Code());
    if (status != 0) ExcSet(status, JexExcArgs(operation_), last);
    return status;
}

int JexSession::setup_compress(int code) {
    compressor_.reset();
    plainCompressor_ = true;
    switch (code) {
        case NOCOMP: compressor_ = std::make_unique<JexCompressor>(); break;
        case LZW:
            compressor_ = std::make_unique<JexLzwCompressor>();
            plainCompressor_ = false;
            break;
        default:
            compressor_ = std::make_unique<JexCompressor>();
            compressor_->SetSuppress(1);
            ExcSet(UNSUPPORTED, JexExcArgs("JexSession::setup_compress", "compression",
                                           jex_code_text(kCompressionNames, code)));
            compression_ = NOCOMP;
            return UNSUPPORTED;
    }
    compressor_->SetSuppress(1);
    compression_ = code;
    return OK;
}

int JexSession::setup_expand(int code) {
    expander_.reset();
    plainExpander_ = true;
    switch (code) {
        case NOCOMP: expander_ = std::make_unique<JexExpander>(); break;
        case LZW:
            expander_ = std::make_unique<JexLzw>();
            plainExpander_ = false;
            break;
        default:
            expander_ = std::make_unique<JexExpander>();
            expander_->SetSuppress(1);
            ExcSet(UNSUPPORTED, JexExcArgs("JexSession::setup_expand", "compression",
                                           jex_code_text(kCompressionNames, code)));
            currentCompression_ = NOCOMP;
            return UNSUPPORTED;
    }
    expander_->SetSuppress(1);
    currentCompression_ = code;
    return OK;
}

int JexSession::setup_encrypt(const JexString&, const JexString&) {
    if (encryption_ == NOENCRYPT) return OK;
    ExcSet(UNSUPPORTED, JexExcArgs("JexSession::setup_encrypt", "encryption",
                                   jex_code_text(kEncryptionNames, encryption_)));
    return UNSUPPORTED;
}
