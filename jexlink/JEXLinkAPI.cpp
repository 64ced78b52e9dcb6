// The JEXLinkAPI shared library: the director's native entry into the
// support-network library. Everything else in it stays hidden.
#include <jni.h>

#include <string>

#include "jexlink/JexLinkSetUp.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/sra/JexCreateSrq.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

// The library's seams are filled at the first call into it, once, whichever
// thread of the VM makes it.
void SetUpOnce() {
    [[maybe_unused]] static const bool setUp = [] {
        JexLinkSetUp();
        return true;
    }();
}

constexpr char kTraceFile[] = "R:\\JEXLinkAPI.cxx";
constexpr char kExceptionClass[] = "com/pelmar/vantrix/tavro/core/TAVRONativeException";
constexpr char kGetterSignature[] = "()Ljava/lang/String;";

// The input items the entry fills from the parcel (the adapter's letters).
constexpr int kItemContact = 'D';
constexpr int kItemEntityType = 'F';
constexpr int kItemOsType = 'G';
constexpr int kItemSoftwareVersion = 'J';

// Every call into Java may leave an exception (a getter that threw, a
// missing method or field); the entry clears it and goes on with what the
// call returned.
void ClearPending(JNIEnv* env) {
    if (env->ExceptionCheck()) env->ExceptionClear();
}

// The UTF-8 characters of a Java string, released when the object ends; a
// null string reads as the empty text. An owned reference is deleted too.
class JavaText {
public:
    enum class Ref { kBorrowed, kOwned };

    JavaText(JNIEnv* env, jstring string, Ref ref) : env_(env), string_(string), ref_(ref) {
        if (!string_) return;
        chars_ = env_->GetStringUTFChars(string_, nullptr);
        ClearPending(env_);
    }
    ~JavaText() {
        // Releases are allowed while the entry's own exception is pending.
        if (chars_) env_->ReleaseStringUTFChars(string_, chars_);
        if (string_ && ref_ == Ref::kOwned) env_->DeleteLocalRef(string_);
    }
    JavaText(const JavaText&) = delete;
    JavaText& operator=(const JavaText&) = delete;

    const char* Text() const { return chars_ ? chars_ : ""; }
    bool Empty() const { return *Text() == '\0'; }

private:
    JNIEnv* env_;
    jstring string_;
    Ref ref_;
    const char* chars_ = nullptr;
};

// Calls one string getter of the parcel; null when the parcel, its class or
// the method is missing, or the getter threw or answered null.
jstring CallGetter(JNIEnv* env, jobject parcel, const char* getter) {
    if (!parcel) return nullptr;
    jclass parcelClass = env->GetObjectClass(parcel);
    ClearPending(env);
    if (!parcelClass) return nullptr;
    jmethodID method = env->GetMethodID(parcelClass, getter, kGetterSignature);
    ClearPending(env);
    env->DeleteLocalRef(parcelClass);
    if (!method) return nullptr;
    jobject result = env->CallObjectMethod(parcel, method);
    ClearPending(env);
    return static_cast<jstring>(result);
}

// Fills the item from the getter; false (the item untouched) for an empty text.
bool JexGetParcelString(JNIEnv* env, jobject parcel, JexBuffer& item, const char* getter) {
    ClearPending(env);
    const JavaText text(env, CallGetter(env, parcel, getter), JavaText::Ref::kOwned);
    if (text.Empty()) return false;
    JexSraSetText(item, JexString(text.Text(), 1));
    return true;
}

void JexSetReturnCode(JNIEnv* env, jobject object, jint value) {
    if (!object) return;
    jclass objectClass = env->GetObjectClass(object);
    ClearPending(env);
    if (!objectClass) return;
    jfieldID field = env->GetFieldID(objectClass, "m_returnCode", "I");
    ClearPending(env);
    env->DeleteLocalRef(objectClass);
    if (!field) return;
    env->SetIntField(object, field, value);
    ClearPending(env);
}

// The text as modified UTF-8, which is all the VM accepts: a byte that
// does not start a valid one- to three-byte sequence becomes '?'. Error
// texts carry what a server sent.
std::string ModifiedUtf8(const char* text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    while (*p) {
        const unsigned char c = *p;
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++p;
        } else if (c >= 0xC2 && c <= 0xDF && continuation(p[1])) {
            out.append(reinterpret_cast<const char*>(p), 2);
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF && continuation(p[1]) && continuation(p[2]) &&
                   !(c == 0xE0 && p[1] < 0xA0)) {
            out.append(reinterpret_cast<const char*>(p), 3);
            p += 3;
        } else {
            out += '?';
            ++p;
        }
    }
    return out;
}

// Leaves a pending TAVRONativeException with the text. Without the class
// the status alone reports the failure.
void ThrowNative(JNIEnv* env, const char* text) {
    jclass exceptionClass = env->FindClass(kExceptionClass);
    if (!exceptionClass) {
        ClearPending(env);
        return;
    }
    env->ThrowNew(exceptionClass, ModifiedUtf8(text).c_str());
    env->DeleteLocalRef(exceptionClass);
}

}  // namespace

// Submits the parcel as a new service request: 0 accepted, -1 no contact
// address (nothing sent), 6 communication failure, 8 other failure. On a
// failure m_returnCode of the called object holds the status and a
// TAVRONativeException with the error's text is pending.
extern "C" JNIEXPORT jint JNICALL
Java_com_pelmar_vantrix_tavro_util_nativeapi_JEXLinkAPI_sendJEXParcel(JNIEnv* env, jobject self,
                                                                      jobject parcel,
                                                                      jstring accessNumber) {
    SetUpOnce();
    JexTrace trace(kTraceFile, "sendJEXParcel", __LINE__);
    JexNetMsg input;
    JexNetMsg output;
    ClearPending(env);

    const JavaText subject(env, CallGetter(env, parcel, "getSubject"), JavaText::Ref::kOwned);
    const JavaText access(env, accessNumber, JavaText::Ref::kBorrowed);
    const JavaText body(env, CallGetter(env, parcel, "getBody"), JavaText::Ref::kOwned);
    JexGetParcelString(env, parcel, input[kItemOsType], "getOSType");
    JexGetParcelString(env, parcel, input[kItemEntityType], "getEntityType");
    JexGetParcelString(env, parcel, input[kItemSoftwareVersion], "getSoftwareVer");
    const bool contact = JexGetParcelString(env, parcel, input[kItemContact], "getContactInfo");

    if (!contact) {
        JexSetReturnCode(env, self, kSrqNoContact);
        ThrowNative(env, "no contact address");
        return kSrqNoContact;
    }
    const JexString bodyText(body.Text(), 1);
    const JexString subjectText(subject.Text(), 1);
    const JexString accessText(access.Text(), 1);
    const int status = JexCreateSrq(accessText, subjectText, bodyText, &input, &output);
    if (status > 0) {
        JexSetReturnCode(env, self, status);
        ThrowNative(env, JexFormatErrorMsg(output).Text());
    }
    return status;
}
