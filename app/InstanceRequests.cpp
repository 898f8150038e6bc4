#include "app/InstanceRequests.h"

#include "app/MainMessages.h"
#include "common/ProgramLog.h"

namespace kalvex {

std::vector<InstanceRequest> AcceptedInstanceRequests() {
    return {
        // A second start of the program asks the window to come to the front.
        {QByteArray::number(WM_ACTIVATE_INSTANCE), WM_ACTIVATE_INSTANCE},
        // "Kalvex --close" and any outside program ask the window to close,
        // with the guards of a close by the user.
        {QByteArray(kCloseMessageName), RegisterWindowMessage(kCloseMessageName)},
    };
}

void LogRejectedInstanceRequest(const QString& why) {
    LogLine("Instance socket: ignored %s", why.toLocal8Bit().constData());
}

}  // namespace kalvex
