// JexHelp: help pages shown by name through the help index.
#pragma once

#include "jexlink/core/JexString.h"

// Maps a help name to a page through the help index data file (setting
// "File.HelpIndex", default "help\jex_help_index.dat": lines "name page",
// names compared without regard to case, the first match wins) and hands
// the page to the graphical viewer (mode 2) or the text viewer (any other
// mode). Neither viewer starts anything: the library shows no page itself.
// A test can watch what would be shown through SetViewerForTest.
class JexHelp {
public:
    static constexpr int kTextViewer = 1;
    static constexpr int kGraphicalViewer = 2;

    // A mode of 0 chooses the graphical viewer when a display is available
    // (DISPLAY set and not empty), else the text viewer.
    explicit JexHelp(int mode);
    ~JexHelp();

    // The page of the name (the name itself when the index has none) is
    // handed to the viewer of the mode.
    void ShowPage(const char* name);
    void display_mosaic_page(const JexString& page);
    void display_lynx_page(const JexString& page);

    int Mode() const { return mode_; }

    // Called by both viewers with their mode and the page; null for none.
    using Viewer = void (*)(int mode, const JexString& page);
    static void SetViewerForTest(Viewer viewer);

private:
    int mode_;
};
