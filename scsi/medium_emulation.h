// The five commands carried out for a medium that stands behind no real card
// reader: a card image, a disk that takes no pass-through. One reading of
// READ(10), WRITE(10), PREVENT ALLOW MEDIUM REMOVAL and START STOP UNIT, with
// the sense data a reader would give; each back end says only how its medium
// is reached.
#pragma once

#include <cstdint>

#include "scsi/target.h"

namespace platform {

class MediumEmulation : public ScsiTarget {
public:
    bool Execute(ScsiExchange& x) final;

protected:
    virtual void AnswerInquiry(ScsiExchange& x) = 0;
    // False keeps the write from the medium altogether: the command fails as
    // a transport failure would.
    virtual bool MayWrite() { return true; }
    // Whether a medium is there to be read or written at all.
    virtual bool Ready() { return mediumPresent_; }
    // The sectors the medium holds now.
    virtual std::uint64_t Sectors() = 0;
    virtual bool ReadOnly() = 0;
    // Bytes moved at this byte offset, fewer at the medium's end; -1 on an error.
    virtual std::int64_t Move(std::uint8_t* data, std::uint64_t bytes, std::uint64_t offset, bool write) = 0;
    // Called after every write that moved all its bytes; false fails it.
    virtual bool Written() { return true; }
    virtual void PreventRemoval(bool /*prevent*/) {}
    // Called before the medium is ejected; false (with the exchange's check
    // condition set) keeps it in.
    virtual bool MayEject(ScsiExchange& /*x*/) { return true; }

    bool mediumPresent_ = true;

private:
    bool Transfer(ScsiExchange& x, bool write);
    void StartStop(ScsiExchange& x);
};

}  // namespace platform
