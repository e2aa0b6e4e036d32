#include "link/link_events.h"

namespace lumaset {

const char* LinkStatusName(uint32_t status) {
  switch (status) {
    case LS_NOT_READY: return "LS_NOT_READY";
    case LS_START: return "LS_START";
    case LS_CHECK_VERSION: return "LS_CHECK_VERSION";
    case LS_WAIT_ERASE: return "LS_WAIT_ERASE";
    case LS_DOWNLOAD_DATA: return "LS_DOWNLOAD_DATA";
    case LS_CANCELLED: return "LS_CANCELLED";
    case LS_TIMEOUT: return "LS_TIMEOUT";
    case LS_WRITE_FAILED: return "LS_WRITE_FAILED";
    case LS_VERIFY_FAILED: return "LS_VERIFY_FAILED";
    case LS_REFUSED: return "refused by the host";
    default: return "unknown status";
  }
}

const char* StatusDisplayText(uint32_t status) {
  switch (status) {
    case LS_START: return "Start ...";
    case LS_CHECK_VERSION: return "Check Version ...";
    case LS_WAIT_ERASE: return "Wait for erase ...";
    case LS_DOWNLOAD_DATA: return "Starting Download Data ...";
    default: return "";
  }
}

}  // namespace lumaset
