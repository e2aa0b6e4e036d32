// Chinese resource library (language 1).
#include "resources/layout.h"

namespace {

namespace res = lumaset::res;

constexpr lumaset_layout::Texts kTexts = {
    .menuFile = "文件(&F)",
    .fileOpen = "打开接收数据(&O)...",
    .fileSave = "保存接收数据(&S)",
    .fileSaveAs = "接收数据另存为(&A)...",
    .fileSendRaw = "原样发送文件(&N)...",
    .fileRecent = "(无最近文件)",
    .fileExit = "退出(&X)",
    .menuDisplay = "显示(&D)",
    .displayHex = "十六进制显示(&H)",
    .displayClear = "清除显示(&L)",
    .editCopy = "复制(&C)",
    .editSelectAll = "全选(&A)",
    .menuHost = "主机(&O)",
    .hostDebugOn = "开启主机调试输出(&E)",
    .hostDebugOff = "关闭主机调试输出(&D)",
    .hostVersion = "查询主机版本(&V)",
    .hostRestart = "重启主机(&R)",
    .hostRun = "运行用户程序(&U)",
    .hostStop = "停止用户程序(&T)",
    .hostErase = "擦除用户程序(&A)",
    .hostStatus = "查询主机状态(&S)",
    .hostFactory = "恢复主机出厂设置(&F)",
    .hostClock = "按本机时间设置主机时钟(&C)",
    .hostBaudSearch = "搜索主机波特率(&B)",
    .menuSettings = "设置(&S)",
    .linkSettings = "连接设置(&L)...",
    .statusBar = "状态栏(&S)",
    .language = "&English interface (英文界面)",
    .menuHelp = "帮助(&H)",
    .about = "关于 Lumaset(&A)...",
    .ok = "确定",
    .cancel = "取消",
    .aboutCaption = "关于 Lumaset",
    .aboutTitle = "Lumaset {version}",
    .aboutText = "向房间控制主机下载系统程序、用户程序和触屏程序，向主机发送命令，并显示主机发回的数据。",
    .baudCaption = "搜索波特率",
    .baudStop = "停止搜索(&S)",
    .barConnect = "连接",
    .barUser = "用户程序",
    .barUserFast = "用户程序(快速)",
    .barTouch = "触屏程序",
    .barStop = "停止",
    .barSystem = "系统程序",
    .barSystemFast = "系统程序(快速)",
    .barRestart = "重启主机",
    .linkCaption = "连接设置",
    .linkLabel = "与主机的连接：",
    .linkChangeBaud = "同时修改主机的波特率",
    .linkOption = "选项...",
};

constexpr LumasetString kStrings[] = {
    {res::kStrDocument, "Lumaset\n接收数据\n接收数据\n接收数据 (*.bin)\n.bin\nLumaset.Document\nLumaset 接收数据"},
    // Tooltips of the command-bar buttons, numbered like the buttons.
    {res::kIdUserProgram, "下载用户程序 (.pgu)"},
    {res::kIdSystemProgram, "下载系统程序 (.pgs)"},
    {res::kIdStop, "停止正在进行的传输"},
    {res::kIdHostCommand3, "重启主机"},
    {res::kStrTipConnect, "连接主机"},
    {res::kIdTouchProgram, "下载触屏程序 (.tps)"},
    {res::kStrTipDisconnect, "断开与主机的连接"},
    {res::kIdUserProgramFast, "下载用户程序，数据以 115200 波特传输"},
    {res::kIdSystemProgramFast, "下载系统程序，数据以 115200 波特传输"},
    {res::kStrStatusIndicator, "就绪"},
    {res::kStrFrameTitle, "Lumaset 主机下载与维护"},
    {res::kStrSocketsFailed, "网络层初始化失败。"},
    {res::kStrUserProgramQuestion, "用户程序下载完成后是否立即运行？"},
    {res::kStrUserProgramCaption, "用户程序"},
    {res::kStrLinkSettingsLabel, kTexts.linkLabel},
    {res::kStrDescLink, "已连接"},
    {res::kStrDescClosed, "未连接"},
    {res::kStrDescNetwork, "主机 "},
    {res::kStrDescPort, "，端口 "},
    {res::kStrNetConnectFailed, "无法通过网络连接主机。"},
    {res::kStrCaption, "Lumaset"},
    {res::kStrBaudNotFound, "在所有波特率下主机都没有回应。"},
    {res::kStrTransferRunning, "正在传输，请等待传输结束或先停止传输。"},
    {res::kStrProbeFailedSearch, "主机在当前波特率下没有回应。是否搜索主机的波特率？"},
    {res::kStrNetProbeFailed, "主机没有通过网络回应。"},
    {res::kStrPortInUse, "串口已被其他程序占用。"},
    {res::kStrPortMissing, "串口不存在。"},
    {res::kStrUsbOpen, "USB 连接已打开"},
    {res::kStrUsbNotOpen, "USB 连接未打开"},
    {res::kStrNotRegularFile, "%1 不是普通文件，未载入。"},
    {res::kStrFileTooLarge, "%1 太大（%2 字节），最多只能载入 %3 字节。"},
    {res::kStrOpenFailed, "无法打开 %1：%2"},
    {res::kStrSaveFailed, "无法保存 %1：%2"},
    {res::kStrRecentEmpty, kTexts.fileRecent},
    {res::kStrAllFilesFilter, "所有文件 (*)"},
    {res::kStrPinnedPort, "%1（已固定）"},
};

constexpr LumasetResourceTable kTable = lumaset_layout::Layout<kTexts>::Table(1, kStrings);

}  // namespace

extern "C" __attribute__((visibility("default"))) const LumasetResourceTable* LumasetResources(void) {
  return &kTable;
}
