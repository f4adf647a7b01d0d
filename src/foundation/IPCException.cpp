#include "foundation/IPCException.h"

namespace Vantor {

namespace {
constexpr std::string_view kTexts[] = {
    "No exception!",                            // IC_NONE
    "Cannot find message file for IPC.",        // IC_NO_MESSAGE_FILE
    "Unable to create communication channel.",  // IC_CANNOT_CREATE_COMM
    "Receiver cannot send.",                    // IC_NOT_SENDER
    "Sender cannot receive.",                   // IC_NOT_RECEIVER
    "Unable to send message.",                  // IC_CANNOT_SEND
    "Unable to receive messages.",              // IC_CANNOT_RECEIVE
    "Out of memory.",                           // IC_MEM
};
}  // namespace

std::string IPCException::description() const { return describe("IPC", textOf(kTexts, getCode())); }

}  // namespace Vantor
