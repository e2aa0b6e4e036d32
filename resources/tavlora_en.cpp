// English resource library (language 0).
#include "resources/lumaset_resources.h"

namespace {

const LumasetString kStrings[] = {
    {1004, "Connect to the host"},
    {1006, "Disconnect from the host"},
    {32792, "Ready"},
    {57344, "Lumaset"},
    {59394, "The network layer could not be initialised."},
    {59396, "Should the host start the user program as soon as it has been loaded?"},
    {59397, "User program"},
    {59399, "Link to the host:"},
    {59402, "Connected"},
    {59403, "Not connected"},
    {59404, "host "},
    {59405, ", port "},
    {59406, "Could not connect to the host over the network."},
    {59407, "Lumaset"},
    {59408, "The host did not answer at any baud rate."},
    {59409, "A transfer is running. Wait until it has ended or stop it first."},
    {59410, "The host did not answer at the current baud rate. Search for the rate at which it answers?"},
    {59411, "The host did not answer over the network."},
    {59412, "The serial port is in use by another program."},
    {59413, "The serial port does not exist."},
    {59414, "USB link open"},
    {59415, "USB link not open"},
};

const LumasetResourceTable kTable = {
    sizeof(LumasetResourceTable), LUMASET_RESOURCES_VERSION, 0,
    kStrings, sizeof kStrings / sizeof kStrings[0],
    nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const LumasetResourceTable* LumasetResources(void) {
  return &kTable;
}
