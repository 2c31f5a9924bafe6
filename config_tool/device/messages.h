#pragma once
// Numbers of the messages (in the model's message table) that the device operations and their
// dialogs show.

namespace device {

enum Message : int {
    kMsgReadFailed = 4,
    kMsgWriteFailed = 22,
    kMsgUnsupportedUnit = 24,
    kMsgAddress = 25,
    kMsgKlvOfVersion = 26,
    kMsgOfVersion = 27,
    kMsgSearchCaption = 28,
    kMsgOtherPort = 29,
    kMsgNotResponding = 30,
    kMsgDrainWarning = 33,
    kMsgNoAnswer = 34,
};

} // namespace device
