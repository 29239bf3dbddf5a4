// Holds back the requests to end the program (Ctrl-C and its kin) while a card
// is being written, and lets them take their course afterwards.
#pragma once

class CInterruptHold {
public:
    // False when the system would not hold them.
    bool Begin();
    // A request arrived since Begin, and ends the program at End.
    bool Pending() const;
    void End();
};
