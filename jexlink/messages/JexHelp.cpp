// JexHelp: help pages shown by name through the help index.
#include "jexlink/messages/JexHelp.h"

#include <atomic>
#include <cstring>

#include "jexlink/core/JexDataFile.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"

namespace {

constexpr const char* kSource = "JexHelp";

std::atomic<JexHelp::Viewer> testViewer{nullptr};

void View(int mode, const JexString& page) {
    if (const JexHelp::Viewer viewer = testViewer.load()) viewer(mode, page);
}

}  // namespace

JexHelp::JexHelp(int mode) : mode_(mode) {
    JexTrace trace(kSource, "JexHelp", __LINE__);
    if (mode_ == 0) mode_ = JexHaveDisplay() ? kGraphicalViewer : kTextViewer;
}

JexHelp::~JexHelp() { JexTrace trace(kSource, "~JexHelp", __LINE__); }

void JexHelp::ShowPage(const char* name) {
    JexTrace trace(kSource, "ShowPage", __LINE__);
    JexString page(name ? name : "");
    const JexString key = page.LowerCopy();
    JexDataFile index(JexDataFilePath("File.HelpIndex", "help\\jex_help_index.dat"), 0);
    for (;;) {
        JexFieldedString& fields = index.NextLine();
        if (index.Code() != JexDataFile::OK || fields.Count() == 0) break;
        if (std::strcmp(fields[0].LowerCopy().Text(), key.Text()) != 0) continue;
        page = fields.Field(1);
        break;
    }
    if (mode_ == kGraphicalViewer)
        display_mosaic_page(page);
    else
        display_lynx_page(page);
}

void JexHelp::display_mosaic_page(const JexString& page) {
    JexTrace trace(kSource, "display_mosaic_page", __LINE__);
    View(kGraphicalViewer, page);
}

void JexHelp::display_lynx_page(const JexString& page) {
    JexTrace trace(kSource, "display_lynx_page", __LINE__);
    View(kTextViewer, page);
}

void JexHelp::SetViewerForTest(Viewer viewer) { testViewer.store(viewer); }
