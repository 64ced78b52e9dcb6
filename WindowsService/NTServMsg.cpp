// The service program's event-log message table.
#include "WindowsService/NTServMsg.h"

const platform::MessageTableEntry kNTServMessages[] = {
    {EVMSG_INSTALLED, "The %1 service was installed.\r\n"},
    {EVMSG_REMOVED, "The %1 service was removed.\r\n"},
    {EVMSG_NOTREMOVED, "The %1 service could not be removed.\r\n"},
    {EVMSG_CTRLHANDLERNOTINSTALLED, "The control handler could not be installed.\r\n"},
    {EVMSG_FAILEDINIT, "The initialization process failed.\r\n"},
    {EVMSG_STARTED, "The service was started.\r\n"},
    {EVMSG_BADREQUEST, "The service received an unsupported request.\r\n"},
    {EVMSG_DEBUG, "Debug: %1\r\n"},
    {EVMSG_STOPPED, "The service was stopped.\r\n"},
};

const size_t kNTServMessageCount = sizeof kNTServMessages / sizeof kNTServMessages[0];
