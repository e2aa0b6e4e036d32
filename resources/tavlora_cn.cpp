// Chinese resource library (language 1).
#include "resources/lumaset_resources.h"

namespace {

const LumasetString kStrings[] = {
    {1004, "连接主机"},
    {1006, "断开与主机的连接"},
    {32792, "就绪"},
    {57344, "Lumaset"},
    {59394, "网络层初始化失败。"},
    {59396, "用户程序下载完成后是否立即运行？"},
    {59397, "用户程序"},
    {59399, "与主机的连接："},
    {59402, "已连接"},
    {59403, "未连接"},
    {59404, "主机 "},
    {59405, "，端口 "},
    {59406, "无法通过网络连接主机。"},
    {59407, "Lumaset"},
    {59408, "在所有波特率下主机都没有回应。"},
    {59409, "正在传输，请等待传输结束或先停止传输。"},
    {59410, "主机在当前波特率下没有回应。是否搜索主机的波特率？"},
    {59411, "主机没有通过网络回应。"},
    {59412, "串口已被其他程序占用。"},
    {59413, "串口不存在。"},
    {59414, "USB 连接已打开"},
    {59415, "USB 连接未打开"},
};

const LumasetResourceTable kTable = {
    sizeof(LumasetResourceTable), LUMASET_RESOURCES_VERSION, 1,
    kStrings, sizeof kStrings / sizeof kStrings[0],
    nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const LumasetResourceTable* LumasetResources(void) {
  return &kTable;
}
