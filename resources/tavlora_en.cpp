// English resource library (language 0).
#include "resources/layout.h"

namespace {

namespace res = lumaset::res;

constexpr lumaset_layout::Texts kTexts = {
    .menuFile = "&File",
    .fileOpen = "&Open received data...",
    .fileSave = "&Save received data",
    .fileSaveAs = "Save received data &as...",
    .fileSendRaw = "Se&nd a file unchanged...",
    .fileRecent = "(No recent files)",
    .fileExit = "E&xit",
    .menuDisplay = "&Display",
    .displayHex = "&Hexadecimal display",
    .displayClear = "C&lear the display",
    .editCopy = "&Copy",
    .editSelectAll = "Select &all",
    .menuHost = "H&ost",
    .hostDebugOn = "&Enable the host's debug output",
    .hostDebugOff = "&Disable the host's debug output",
    .hostVersion = "Ask the host for its &version",
    .hostRestart = "&Restart the host",
    .hostRun = "R&un the user program",
    .hostStop = "S&top the user program",
    .hostErase = "Er&ase the user program",
    .hostStatus = "Ask the host for its &status",
    .hostFactory = "Restore the host's &factory settings",
    .hostClock = "Set the host's &clock to this computer's time",
    .hostBaudSearch = "Find the host's &baud rate",
    .menuSettings = "&Settings",
    .linkSettings = "&Link settings...",
    .statusBar = "&Status bar",
    .language = "中文界面 (&Chinese)",
    .menuHelp = "&Help",
    .about = "&About Lumaset...",
    .ok = "OK",
    .cancel = "Cancel",
    .aboutCaption = "About Lumaset",
    .aboutTitle = "Lumaset {version}",
    .aboutText = "Loads system, user and touch-panel programs into the room controller, "
                 "sends it commands and shows what it sends back.",
    .baudCaption = "Baud-rate search",
    .baudStop = "&Stop search",
    .barConnect = "Connect",
    .barUser = "User prog.",
    .barUserFast = "User (fast)",
    .barTouch = "Touch panel",
    .barStop = "Stop",
    .barSystem = "System prog.",
    .barSystemFast = "System (fast)",
    .barRestart = "Restart host",
    .linkCaption = "Link settings",
    .linkLabel = "Link to the host:",
    .linkChangeBaud = "Change the host's baud rate too",
    .linkOption = "Options...",
};

constexpr LumasetString kStrings[] = {
    {res::kStrDocument,
     "Lumaset\nReceived\nReceived\nReceived data (*.bin)\n.bin\nLumaset.Document\nLumaset received data"},
    // Tooltips of the command-bar buttons, numbered like the buttons.
    {res::kIdUserProgram, "Download a user program (.pgu)"},
    {res::kIdSystemProgram, "Download a system program (.pgs)"},
    {res::kIdStop, "Stop the running transfer"},
    {res::kIdHostCommand3, "Restart the host"},
    {res::kStrTipConnect, "Connect to the host"},
    {res::kIdTouchProgram, "Download a touch-panel program (.tps)"},
    {res::kStrTipDisconnect, "Disconnect from the host"},
    {res::kIdUserProgramFast, "Download a user program, its data at 115200 baud"},
    {res::kIdSystemProgramFast, "Download a system program, its data at 115200 baud"},
    {res::kStrStatusIndicator, "Ready"},
    {res::kStrFrameTitle, "Lumaset – host download and maintenance"},
    {res::kStrSocketsFailed, "The network layer could not be initialised."},
    {res::kStrUserProgramQuestion, "Should the host start the user program as soon as it has been loaded?"},
    {res::kStrUserProgramCaption, "User program"},
    {res::kStrLinkSettingsLabel, kTexts.linkLabel},
    {res::kStrDescLink, "Connected"},
    {res::kStrDescClosed, "Not connected"},
    {res::kStrDescNetwork, "host "},
    {res::kStrDescPort, ", port "},
    {res::kStrNetConnectFailed, "Could not connect to the host over the network."},
    {res::kStrCaption, "Lumaset"},
    {res::kStrBaudNotFound, "The host did not answer at any baud rate."},
    {res::kStrTransferRunning, "A transfer is running. Wait until it has ended or stop it first."},
    {res::kStrProbeFailedSearch,
     "The host did not answer at the current baud rate. Search for the rate at which it answers?"},
    {res::kStrNetProbeFailed, "The host did not answer over the network."},
    {res::kStrPortInUse, "The serial port is in use by another program."},
    {res::kStrPortMissing, "The serial port does not exist."},
    {res::kStrUsbOpen, "USB link open"},
    {res::kStrUsbNotOpen, "USB link not open"},
    {res::kStrNotRegularFile, "%1 is not a regular file, so it was not loaded."},
    {res::kStrFileTooLarge, "%1 is too large (%2 bytes); at most %3 bytes can be loaded."},
    {res::kStrOpenFailed, "Could not open %1: %2"},
    {res::kStrSaveFailed, "Could not save %1: %2"},
    {res::kStrRecentEmpty, kTexts.fileRecent},
    {res::kStrAllFilesFilter, "All files (*)"},
    {res::kStrPinnedPort, "%1 (pinned)"},
};

constexpr LumasetResourceTable kTable = lumaset_layout::Layout<kTexts>::Table(0, kStrings);

}  // namespace

extern "C" __attribute__((visibility("default"))) const LumasetResourceTable* LumasetResources(void) {
  return &kTable;
}
