// Text split into an ordered list of fields at one separator character.
#include "jexlink/core/JexFieldedString.h"

#include <cstring>
#include <new>

JexFieldedString::JexFieldedString(char sep) : separator(sep) {}

JexFieldedString::JexFieldedString(const char* text, char sep) : separator(sep) { Parse(text); }

JexFieldedString::JexFieldedString(const JexString& text, char sep) : separator(sep) {
    Parse(text.Text());
}

JexFieldedString::JexFieldedString(const JexFieldedString& other) : separator(other.separator) {
    CopyFields(other);
}

JexFieldedString::JexFieldedString(JexFieldedString&& other) noexcept
    : count(other.count), separator(other.separator) {
    TakeFields(other);
}

JexFieldedString::~JexFieldedString() { Clear(); }

JexFieldedString& JexFieldedString::operator=(const JexFieldedString& other) {
    if (this == &other) return *this;
    Clear();
    CopyFields(other);
    return *this;
}

JexFieldedString& JexFieldedString::operator=(JexFieldedString&& other) noexcept {
    if (this == &other) return *this;
    Clear();
    count = other.count;
    TakeFields(other);
    return *this;
}

void JexFieldedString::TakeFields(JexFieldedString& other) {
    if (other.fields == other.inline_) {
        for (int i = 0; i < count; ++i) {
            inline_[i] = other.inline_[i];
            other.inline_[i] = nullptr;
        }
        fields = inline_;
    } else {
        fields = other.fields;
    }
    // The other's own objects pass their contents to this list's, which
    // are all free.
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < kInline; ++k) {
            if (fields[i] != &other.own_[k]) continue;
            own_[k].Swap(other.own_[k]);
            own_[k].SetCaseSensitive(other.own_[k].CaseSensitive());
            other.own_[k].SetCaseSensitive(1);
            fields[i] = &own_[k];
        }
    }
    ownUsed_ = other.ownUsed_;
    other.ownUsed_ = 0;
    other.fields = nullptr;
    other.count = 0;
}

JexString* JexFieldedString::MakeField(JexString& from) {
    JexString* field = nullptr;
    for (int k = 0; k < kInline && !field; ++k) {
        if (ownUsed_ & (1u << k)) continue;
        ownUsed_ |= 1u << k;
        field = &own_[k];
    }
    if (!field) field = new (std::nothrow) JexString();
    if (!field) return nullptr;
    field->Swap(from);
    field->SetCaseSensitive(from.CaseSensitive());
    return field;
}

void JexFieldedString::DeleteField(JexString* field) {
    for (int k = 0; k < kInline; ++k) {
        if (field != &own_[k]) continue;
        own_[k].Free();
        own_[k].SetCaseSensitive(1);
        ownUsed_ &= ~(1u << k);
        return;
    }
    delete field;
}

void JexFieldedString::CopyFields(const JexFieldedString& other) {
    Grow(other.count);
    for (int i = 0; i < count && i < other.count; ++i)
        if (other.fields[i]) {
            JexString copy(*other.fields[i]);
            fields[i] = MakeField(copy);
        }
}

bool JexFieldedString::operator==(const JexFieldedString& other) const {
    if (count != other.count) return false;
    static const JexString kEmpty;
    for (int i = 0; i < count; ++i) {
        const JexString& a = fields[i] ? *fields[i] : kEmpty;
        const JexString& b = other.fields[i] ? *other.fields[i] : kEmpty;
        if (a.Compare(b) != 0) return false;
    }
    return true;
}

int JexFieldedString::Parse(const char* text) {
    if (!text || !*text) {
        Clear();
        return 0;
    }
    const int length = static_cast<int>(std::strlen(text));
    int n = 1;
    for (const char* p = text; *p; ++p) n += *p == separator;
    // The text may be one of this list's own fields: the new fields are
    // made from it before the old ones go.
    JexString* few[kInline] = {};
    auto** made = n <= kInline ? few : new (std::nothrow) JexString*[static_cast<size_t>(n)]();
    if (!made) {
        Clear();
        return length;
    }
    const char* start = text;
    for (int i = 0; i < n; ++i) {
        const char* end = i == n - 1 ? text + length : std::strchr(start, separator);
        JexString field = JexString::FromBytes(start, static_cast<int>(end - start));
        made[i] = MakeField(field);
        start = end + 1;
    }
    Clear();
    if (made == few) {
        for (int i = 0; i < n; ++i) inline_[i] = few[i];
        made = inline_;
    }
    fields = made;
    count = n;
    return length;
}

void JexFieldedString::Clear() {
    for (int i = 0; i < count; ++i) {
        DeleteField(fields[i]);
        fields[i] = nullptr;  // an inline slot is used again
    }
    if (fields != inline_) delete[] fields;
    fields = nullptr;
    count = 0;
}

void JexFieldedString::Grow(int n) {
    if (count >= n) return;
    if (n <= kInline && (!fields || fields == inline_)) {
        fields = inline_;  // its slots from count on are null
        count = n;
        return;
    }
    auto** grown = new (std::nothrow) JexString*[static_cast<size_t>(n)]();
    if (!grown) return;
    for (int i = 0; i < count; ++i) grown[i] = fields[i];
    if (fields == inline_) {
        for (int i = 0; i < count; ++i) inline_[i] = nullptr;
    } else {
        delete[] fields;
    }
    fields = grown;
    count = n;
}

JexString& JexFieldedString::operator[](int index) {
    static thread_local JexString scratch;
    if (index < 0 || index == 0x7fffffff) {
        scratch.IndexError(index);
        scratch = "";
        return scratch;
    }
    Grow(index + 1);
    if (index >= count) {  // the list could not grow
        scratch = "";
        return scratch;
    }
    if (!fields[index]) {
        JexString empty("");
        fields[index] = MakeField(empty);
    }
    if (!fields[index]) {
        scratch = "";
        return scratch;
    }
    return *fields[index];
}

JexString JexFieldedString::Field(int index) { return (*this)[index]; }

JexString JexFieldedString::Remove(int index) {
    if (static_cast<unsigned>(index) >= static_cast<unsigned>(count)) return JexString();
    JexString removed = fields[index] ? JexString(*fields[index]) : JexString();
    DeleteField(fields[index]);
    for (int i = index; i + 1 < count; ++i) fields[i] = fields[i + 1];
    --count;
    fields[count] = nullptr;
    return removed;
}

JexString JexFieldedString::Text() const {
    JexString out("");
    AppendText(out);
    return out;
}

void JexFieldedString::AppendText(JexString& out) const {
    for (int i = 0; i < count; ++i) {
        if (i > 0) out += separator;
        if (fields[i]) out += *fields[i];
    }
}

int JexFieldedString::TextLength() const {
    int n = 0;
    for (int i = 0; i < count; ++i)
        n += (i > 0 ? 1 : 0) + static_cast<int>(std::strlen(FieldText(i)));
    return n;
}

char* JexFieldedString::CopyText(char* out) const {
    for (int i = 0; i < count; ++i) {
        if (i > 0) *out++ = separator;
        const char* text = FieldText(i);
        const size_t length = std::strlen(text);
        std::memcpy(out, text, length);
        out += length;
    }
    return out;
}
