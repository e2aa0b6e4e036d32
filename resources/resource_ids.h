// Resource numbers shared by the program and its two language libraries.
#pragma once

namespace lumaset::res {

// Menus, accelerators, icon, cursor and document strings of the frame.
constexpr unsigned kMainResource = 128;
// Sub-menus of menu 128 used as context menus.
constexpr int kViewContextSubmenu = 1;
constexpr int kFrameContextSubmenu = 3;

// Dialog templates.
constexpr unsigned kDlgAbout = 100;
constexpr unsigned kDlgBaudSearch = 102;
constexpr unsigned kDlgCommandBar = 104;
constexpr unsigned kDlgLinkSettings = 138;

// Windows of the frame.
constexpr unsigned kIdCommandBar = 101;
constexpr unsigned kIdProgress = 103;
constexpr unsigned kIdStatusBar = 59393;

// Dialog buttons of every template.
constexpr unsigned kIdOk = 1;
constexpr unsigned kIdCancel = 2;

// Command-bar buttons (template 104); each control number is also the
// command its click sends.
constexpr unsigned kIdUserProgram = 1000;      // user program, download mode 0
constexpr unsigned kIdSystemProgram = 1001;    // system program, download mode 0
constexpr unsigned kIdStop = 1002;             // stop the transfer (also template 102)
constexpr unsigned kIdHostCommand3 = 1003;     // host command 3
constexpr unsigned kIdConnect = 1004;          // connect (becomes 1006 while connected)
constexpr unsigned kIdTouchProgram = 1005;     // touch-panel program
constexpr unsigned kIdDisconnect = 1006;       // the connect button while connected
constexpr unsigned kIdUserProgramFast = 1016;  // user program, download mode 1
constexpr unsigned kIdSystemProgramFast = 1017;  // system program, download mode 1

// Baud-search window (template 102): the text area; the stop button is 1002.
constexpr unsigned kIdBaudText = 1007;

// Link settings dialog (template 138).
constexpr unsigned kIdPortList = 1008;    // index 0 USB, index n COM n
constexpr unsigned kIdBaudList = 1009;    // hidden
constexpr unsigned kIdBaudOption = 1010;  // hidden
constexpr unsigned kIdOption = 1011;      // does nothing
constexpr unsigned kIdLinkLabel = 1012;   // receives string 59399
constexpr unsigned kIdHostAddress = 1014; // hidden
constexpr unsigned kIdTcpPort = 1015;     // hidden
// Number of "COM n" entries after the USB entry in the port list.
constexpr int kPortListComCount = 32;

// About box (template 100). A static caption may hold "{version}", which is
// replaced by the program's version when the dialog is built, and "{guide}",
// replaced by the folder where the operator's guide is installed.
constexpr unsigned kIdAboutIcon = 1020;
constexpr unsigned kIdAboutTitle = 1021;
constexpr unsigned kIdAboutText = 1022;
constexpr unsigned kIdAboutGuide = 1023;

// Bitmaps: strips of two images, normal then disabled.
constexpr unsigned kBmpConnect = 130;
constexpr unsigned kBmpHostCommand3 = 131;
constexpr unsigned kBmpStop = 132;
constexpr unsigned kBmpSystemProgram = 133;
constexpr unsigned kBmpTouchProgram = 134;
constexpr unsigned kBmpUserProgram = 136;
constexpr unsigned kBmpSystemProgramFast = 154;
constexpr unsigned kBmpUserProgramFast = 156;
constexpr unsigned kBitmaps[] = {kBmpConnect,       kBmpHostCommand3,      kBmpStop,
                                 kBmpSystemProgram, kBmpTouchProgram,      kBmpUserProgram,
                                 kBmpSystemProgramFast, kBmpUserProgramFast};

// Menu commands of the view and the frame.
constexpr unsigned kCmdHexDisplay = 32772;
constexpr unsigned kCmdBaudSearch = 32773;
constexpr unsigned kCmdClear = 32774;
constexpr unsigned kCmdSendFile = 32775;
constexpr unsigned kCmdHost13 = 32779;
constexpr unsigned kCmdLinkSettings = 32780;
constexpr unsigned kCmdLanguage = 32781;
constexpr unsigned kCmdSetClock = 32782;  // host command 6
constexpr unsigned kCmdHost8 = 32783;
constexpr unsigned kCmdHost9 = 32784;
constexpr unsigned kCmdHost2 = 32785;
constexpr unsigned kCmdHost7 = 32786;
constexpr unsigned kCmdHost3 = 32787;
constexpr unsigned kCmdHost5 = 32788;
constexpr unsigned kCmdHost0 = 32789;
constexpr unsigned kCmdHost1 = 32790;

// The framework's standard commands.
constexpr unsigned kCmdFileNew = 57600;
constexpr unsigned kCmdFileOpen = 57601;
constexpr unsigned kCmdFileSave = 57603;
constexpr unsigned kCmdFileSaveAs = 57604;
constexpr unsigned kCmdMruFirst = 57616;  // recent files 1 to 4
constexpr int kMruCount = 4;
constexpr unsigned kCmdEditCopy = 57634;
constexpr unsigned kCmdEditSelectAll = 57642;
constexpr unsigned kCmdAppAbout = 57664;
constexpr unsigned kCmdAppExit = 57665;
constexpr unsigned kCmdViewStatusBar = 59393;

// Every command that menu 128 carries (each at least once) in both libraries.
constexpr unsigned kMenuCommands[] = {
    kCmdHexDisplay, kCmdBaudSearch, kCmdClear,     kCmdSendFile,   kCmdHost13,       kCmdLinkSettings,
    kCmdLanguage,   kCmdSetClock,   kCmdHost8,     kCmdHost9,      kCmdHost2,        kCmdHost7,
    kCmdHost3,      kCmdHost5,      kCmdHost0,     kCmdHost1,      kCmdFileOpen,     kCmdFileSave,
    kCmdFileSaveAs, kCmdMruFirst,   kCmdEditCopy,  kCmdEditSelectAll, kCmdAppAbout,  kCmdAppExit,
    kCmdViewStatusBar,
};

// Numbered strings.
constexpr unsigned kStrDocument = 128;  // document strings, "\n"-separated (below)
constexpr unsigned kStrTipConnect = 1004;
constexpr unsigned kStrTipDisconnect = 1006;
constexpr unsigned kStrStatusIndicator = 32792;
constexpr unsigned kStrFrameTitle = 57344;
constexpr unsigned kStrSocketsFailed = 59394;
constexpr unsigned kStrUserProgramQuestion = 59396;
constexpr unsigned kStrUserProgramCaption = 59397;
constexpr unsigned kStrLinkSettingsLabel = 59399;
constexpr unsigned kStrDescLink = 59402;       // first piece of the link description
constexpr unsigned kStrDescClosed = 59403;     // description of a closed link
constexpr unsigned kStrDescNetwork = 59404;    // network description, after 59402
constexpr unsigned kStrDescPort = 59405;       // network description, before the port
constexpr unsigned kStrNetConnectFailed = 59406;
constexpr unsigned kStrCaption = 59407;        // caption of every error and information box
constexpr unsigned kStrBaudNotFound = 59408;
constexpr unsigned kStrTransferRunning = 59409;
constexpr unsigned kStrProbeFailedSearch = 59410;
constexpr unsigned kStrNetProbeFailed = 59411;
constexpr unsigned kStrPortInUse = 59412;
constexpr unsigned kStrPortMissing = 59413;
constexpr unsigned kStrUsbOpen = 59414;
constexpr unsigned kStrUsbNotOpen = 59415;
// Texts of the window program beyond those above. "%1", "%2" are filled in
// by the program (the file's path, the system's reason, sizes).
constexpr unsigned kStrNotRegularFile = 59420;  // %1 path: not a regular file, refused
constexpr unsigned kStrFileTooLarge = 59421;    // %1 path, %2 size, %3 limit (bytes)
constexpr unsigned kStrOpenFailed = 59422;      // %1 path, %2 reason
constexpr unsigned kStrSaveFailed = 59423;      // %1 path, %2 reason
constexpr unsigned kStrRecentEmpty = 59424;     // the recent-file entry while the list is empty
constexpr unsigned kStrAllFilesFilter = 59425;  // "All files (*)", for the save dialog
constexpr unsigned kStrPinnedPort = 59426;      // %1 device: a COM entry of the link settings dialog that is pinned

// File-dialog filter names, two a filter (the kind's files, every file); the
// patterns are fixed by the program.
constexpr unsigned kStrFilterSystem = 59430;
constexpr unsigned kStrFilterSystemAll = 59431;
constexpr unsigned kStrFilterUser = 59432;
constexpr unsigned kStrFilterUserAll = 59433;
constexpr unsigned kStrFilterTouch = 59434;
constexpr unsigned kStrFilterTouchAll = 59435;
constexpr unsigned kStrFilterImage = 59436;
constexpr unsigned kStrFilterImageAll = 59437;
constexpr unsigned kStrFilterAny = 59438;

// What a transfer did. %1 in 59444 to 59446 is one of 59440 to 59443, whose
// %1 is the file's name.
constexpr unsigned kStrJobSystem = 59440;
constexpr unsigned kStrJobUser = 59441;
constexpr unsigned kStrJobTouch = 59442;
constexpr unsigned kStrJobFile = 59443;
constexpr unsigned kStrJobFailed = 59444;    // %1 the job: it was not loaded
constexpr unsigned kStrJobDone = 59445;      // %1 the job, %2 bytes, %3 seconds
constexpr unsigned kStrJobStopped = 59446;   // %1 the job: stopped by the operator
constexpr unsigned kStrFileDetail = 59448;   // %1 the file's path
// Why a transfer failed and what to try, by link status (and the silent
// announcement).
constexpr unsigned kStrWhyNotReady = 59450;
constexpr unsigned kStrWhyHandshake = 59451;
constexpr unsigned kStrWhyHostCancelled = 59452;
constexpr unsigned kStrWhyTimeout = 59453;
constexpr unsigned kStrWhyUsbPipe = 59454;
constexpr unsigned kStrWhyWriteFailed = 59455;
constexpr unsigned kStrWhyVerifyFailed = 59456;
constexpr unsigned kStrWhyRefused = 59457;
constexpr unsigned kStrWhyNoAnnounceAnswer = 59458;
constexpr unsigned kStrWhyUnknown = 59459;   // %1 the status code

// Host commands and the clock.
constexpr unsigned kStrCommandSent = 59460;     // %1 the command's name: sent, the host answered
constexpr unsigned kStrCommandNotSent = 59461;  // %1 the command's name: the host did not answer
constexpr unsigned kStrClockSent = 59462;       // %1 the time sent

// Questions before what cannot be undone.
constexpr unsigned kStrConfirmCloseTransfer = 59463;
constexpr unsigned kStrConfirmCloseSearch = 59464;
constexpr unsigned kStrConfirmErase = 59465;
constexpr unsigned kStrConfirmFactory = 59466;
constexpr unsigned kStrConfirmRestart = 59467;

// The link coming and going; which port, host or file a message is about.
constexpr unsigned kStrPortGone = 59470;        // %1 the port (COM n and its device)
constexpr unsigned kStrReconnected = 59471;     // %1 the port
constexpr unsigned kStrConnecting = 59472;      // %1 host:port
constexpr unsigned kStrConnectionLost = 59473;  // %1 host:port
constexpr unsigned kStrPortDetail = 59474;      // %1 the COM number, %2 its device
constexpr unsigned kStrHostDetail = 59475;      // %1 host, %2 TCP port
constexpr unsigned kStrDialoutHint = 59476;     // a serial port refused for lack of permission

// COM ports behind serial device servers.
constexpr unsigned kStrFixedRatePort = 59488;    // %1 the URL: socket://, no rate search or change
constexpr unsigned kStrServerRateFailed = 59489;  // %1 the URL, %2 the rate: refused or not confirmed

// Names for assistive technology.
constexpr unsigned kStrDisplayName = 59477;     // the receive display
constexpr unsigned kStrStatusBarName = 59478;   // the status bar

// Start-up.
constexpr unsigned kStrNoHandOff = 59480;  // %1 the fault, %2 the path: the window runs without the hand-off

// The document strings (string 128), separated by "\n", in this order.
enum DocumentString : int {
  kDocWindowTitle = 0,
  kDocName = 1,        // default file name of a save
  kDocFileNewName = 2,
  kDocFilterName = 3,  // "Received data (*.bin)"
  kDocFilterExt = 4,   // ".bin"
  kDocRegTypeId = 5,
  kDocRegTypeName = 6,
};

// Every string number that both libraries must carry.
constexpr unsigned kRequiredStrings[] = {
    kStrDocument,          kStrTipConnect,          kStrTipDisconnect,      kStrStatusIndicator,
    kStrFrameTitle,        kStrSocketsFailed,       kStrUserProgramQuestion, kStrUserProgramCaption,
    kStrLinkSettingsLabel, kStrDescLink,            kStrDescClosed,         kStrDescNetwork,
    kStrDescPort,          kStrNetConnectFailed,    kStrCaption,            kStrBaudNotFound,
    kStrTransferRunning,   kStrProbeFailedSearch,   kStrNetProbeFailed,     kStrPortInUse,
    kStrPortMissing,       kStrUsbOpen,             kStrUsbNotOpen,         kStrNotRegularFile,
    kStrFileTooLarge,      kStrOpenFailed,          kStrSaveFailed,         kStrRecentEmpty,
    kStrAllFilesFilter,    kStrPinnedPort,          kStrFilterSystem,       kStrFilterSystemAll,
    kStrFilterUser,        kStrFilterUserAll,       kStrFilterTouch,        kStrFilterTouchAll,
    kStrFilterImage,       kStrFilterImageAll,      kStrFilterAny,          kStrJobSystem,
    kStrJobUser,           kStrJobTouch,            kStrJobFile,            kStrJobFailed,
    kStrJobDone,           kStrJobStopped,          kStrFileDetail,         kStrWhyNotReady,
    kStrWhyHandshake,      kStrWhyHostCancelled,    kStrWhyTimeout,         kStrWhyUsbPipe,
    kStrWhyWriteFailed,    kStrWhyVerifyFailed,     kStrWhyRefused,         kStrWhyNoAnnounceAnswer,
    kStrWhyUnknown,        kStrCommandSent,         kStrCommandNotSent,     kStrClockSent,
    kStrConfirmCloseTransfer, kStrConfirmCloseSearch, kStrConfirmErase,     kStrConfirmFactory,
    kStrConfirmRestart,    kStrPortGone,            kStrReconnected,        kStrConnecting,
    kStrConnectionLost,    kStrPortDetail,          kStrHostDetail,         kStrDialoutHint,
    kStrDisplayName,       kStrStatusBarName,       kStrNoHandOff,          kStrFixedRatePort,
    kStrServerRateFailed,
};

// Every dialog template, and the controls each must have.
constexpr unsigned kDialogs[] = {kDlgAbout, kDlgBaudSearch, kDlgCommandBar, kDlgLinkSettings};
constexpr unsigned kCommandBarControls[] = {kIdConnect,     kIdSystemProgram, kIdSystemProgramFast,
                                            kIdUserProgram, kIdUserProgramFast, kIdStop,
                                            kIdHostCommand3, kIdTouchProgram};
constexpr unsigned kBaudSearchControls[] = {kIdBaudText, kIdStop};
constexpr unsigned kLinkSettingsControls[] = {kIdTcpPort, kIdHostAddress, kIdOption, kIdPortList, kIdBaudList,
                                              kIdBaudOption, kIdLinkLabel, kIdOk, kIdCancel};
constexpr unsigned kAboutControls[] = {kIdAboutIcon, kIdAboutTitle, kIdAboutText, kIdAboutGuide, kIdOk};

}  // namespace lumaset::res
