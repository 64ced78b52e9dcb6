// The file-name model: Qvos, Unix and Windows file specifications, inheritance and renderings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

#define JEXFILENAME_TEXTS(JEX_TEXT)                                                              \
    JEX_TEXT(0, OK, "Name is OK")                                                                \
    JEX_TEXT(1, BADNAME, "The following filename is not valid in this context%2$s:\n\t\"%1$s\"") \
    JEX_TEXT(2, TOOLONG, "Name is too long")                                                     \
    JEX_TEXT(3, TOOSHORT, "Name is too short")

// One file specification taken apart into node, device, directory list,
// name, type, version and an optional locator (the text after the last
// '@'). The syntax is told from the text itself: Qvos
// (node::device:[dir.sub]name.type;version), Unix (dir/sub/name.type) or
// Windows (\\node\share\dir\name.type, or a drive letter and a colon).
// Only Qvos components are validated. Components the name lacks are taken
// from an owned related name, then from an owned default name; the result
// renders in all three forms.
//
// A failed parse is raised: with the suppress flag clear and no handler,
// the process ends. Callers that must survive bad names set the flag.
class JexFileName : public JexException {
public:
    enum : int { JEXFILENAME_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Detected syntax.
    enum : int32_t { Undetermined = 0, Unix = 1, Qvos = 2, Windows = 3 };

    // Qvos limits.
    static constexpr int kMaxQvosNode = 6;
    static constexpr int kMaxQvosDevice = 255;
    static constexpr int kMaxQvosComponent = 39;

    explicit JexFileName(const char* text = nullptr);
    explicit JexFileName(const JexString& text);
    ~JexFileName() override;

    void Parse(const char* text);
    // Parses; an error recorded earlier stays when this parse succeeds.
    JexFileName& operator=(const char* text);
    // Clears the error state, then parses.
    JexFileName& operator=(const JexString& text);

    int32_t Kind() const { return kind; }
    const JexString& SpecText() const { return spec_text; }

    // Getters and setters: with a text they set the component; they return
    // the effective component (own, else related, else default).
    JexString Node(const char* text = nullptr);
    JexString Node(const JexString& text) { return Node(text.Text()); }
    JexString Device(const char* text = nullptr);
    JexString Device(const JexString& text) { return Device(text.Text()); }
    JexString Name(const char* text = nullptr);
    JexString Name(const JexString& text) { return Name(text.Text()); }
    JexString Type(const char* text = nullptr);
    JexString Type(const JexString& text) { return Type(text.Text()); }
    JexString Locator(const char* text = nullptr);
    JexString Locator(const JexString& text) { return Locator(text.Text()); }
    int32_t Version();
    int32_t SetVersion(int32_t n);
    // Sets or clears the own version flag; returns whether it was set.
    bool MarkVersion(bool flag);

    bool HasNode() const;
    bool HasDevice() const;
    bool HasDirectory() const;
    bool HasName() const;
    bool HasType() const;
    bool HasVersion() const;
    bool HasLocator() const;
    bool IsRelative() const;

    // The effective directory list.
    JexFieldedString Directory();
    JexFieldedString SetDirectory(const JexFieldedString& list);
    JexString NameType();

    // With a text, creates the related (default) name when needed and
    // parses the text into it. Returns its specification text, or null
    // when there is none.
    const char* Related(const char* text = nullptr);
    const char* Default(const char* text = nullptr);

    // The renderings; the argument has no effect.
    JexString UnixText(int unused = 0);
    JexString QvosText(int unused = 0);
    JexString WindowsText(int unused = 0);
    // The form this platform opens files by: the Unix form.
    JexString NativeText(int unused = 0);

    // Qvos-safe forms of a node and of another component.
    static JexString qvos_node_text(const char* text);
    static JexString qvos_name_text(const char* text, int limit);

private:
    // Records and raises the error; false, for the parse steps to return.
    bool Fail(int code, const char* tag, const char* given = nullptr, const char* reason = nullptr);

    // The steps of Parse. Each Take step fills the fields of one part of
    // the text; `work` holds what is left of it (at last the name, type
    // and version). A step that returns false has recorded the error.
    void Reset(const std::string& given);
    std::string TakeLocator(const std::string& given);  // the text before "@"
    static int32_t KindOf(const std::string& file);
    void TakeUnixPath(const std::string& file, std::string& work);
    bool TakeQvosPath(const std::string& given, std::string& work);
    // "a][b" and the like become one directory list.
    static void JoinQvosDirectories(std::string& work);
    void TakeQvosDirectory(std::string& work);
    bool TakeWindowsPath(const std::string& file, std::string& work);
    bool TakeNameTypeVersion(const std::string& given, const std::string& work);
    bool CheckQvosComponents(const std::string& given);

    void Normalise(JexFieldedString& list) const;
    void ComposeNameType();
    void Render();
    const char* Sub(std::unique_ptr<JexFileName>& slot, const char* text);

    JexString spec_text;
    int32_t kind = Undetermined;
    std::unique_ptr<JexFileName> default_name;
    std::unique_ptr<JexFileName> related_name;
    int32_t relative = 0;
    JexString node;
    JexString device;
    JexFieldedString directories;
    JexString name_type;
    JexString name;
    JexString type;
    int32_t version = 0;
    JexString locator;
    bool stale = true;
    bool hasNode = false;
    bool hasDevice = false;
    bool hasDirectory = false;
    bool hasName = false;
    bool hasType = false;
    bool hasVersion = false;
    bool hasLocator = false;
    JexFieldedString merged_directories;
    JexString unix_text;
    JexString qvos_text;
    JexString windows_text;
};
