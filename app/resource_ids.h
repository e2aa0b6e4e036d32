// Resource numbers shared by the program and its two language libraries.
#pragma once

namespace lumaset::res {

// Menus, accelerators, icon, cursor and document strings of the frame.
constexpr unsigned kMainResource = 128;

// Dialog templates.
constexpr unsigned kDlgAbout = 100;
constexpr unsigned kDlgBaudSearch = 102;
constexpr unsigned kDlgCommandBar = 104;
constexpr unsigned kDlgLinkSettings = 138;

// Numbered strings.
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

// Every string number that both libraries must carry.
constexpr unsigned kRequiredStrings[] = {
    kStrTipConnect,          kStrTipDisconnect,     kStrStatusIndicator, kStrFrameTitle,
    kStrSocketsFailed,       kStrUserProgramQuestion, kStrUserProgramCaption,
    kStrLinkSettingsLabel,   kStrDescLink,          kStrDescClosed,      kStrDescNetwork,
    kStrDescPort,            kStrNetConnectFailed,  kStrCaption,         kStrBaudNotFound,
    kStrTransferRunning,     kStrProbeFailedSearch, kStrNetProbeFailed,  kStrPortInUse,
    kStrPortMissing,         kStrUsbOpen,           kStrUsbNotOpen,
};

}  // namespace lumaset::res
