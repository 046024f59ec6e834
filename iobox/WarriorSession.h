// One hardware setup's use of an IO-Warrior library. Every hardware setup of the process that uses
// the same library object shares one opening of it: the first opens the library and enumerates
// the controllers, the last to go closes it, so releasing one setup never closes the controllers
// under another. A controller serves only the first live setup that claims it: a later setup
// lists the box but gets no handle for it, so two setups never interleave report exchanges on one
// controller.
#ifndef ZENTRIX_IOBOX_WARRIORSESSION_H
#define ZENTRIX_IOBOX_WARRIORSESSION_H

#include <cstdint>
#include <vector>

#include "platform/IoWarriorLibrary.h"

namespace zentrix {

class IoWarriorSession {
public:
    // Joins the library's opening, opening it and enumerating its controllers when no live
    // session holds it open. Safe to call from any thread.
    explicit IoWarriorSession(IoWarriorLibrary& library);
    // Gives back this session's controllers; the last session of an opening closes the library.
    // Never throws.
    ~IoWarriorSession();
    IoWarriorSession(const IoWarriorSession&) = delete;
    IoWarriorSession& operator=(const IoWarriorSession&) = delete;

    // False when the library found no controller at all (the caller then has no IO box to use).
    bool IsOpen() const { return m_bOpen; }
    // The ids of the supported controllers, in enumeration order, as the opening found them.
    std::vector<std::int32_t> GetIOBoxIds() const;
    // The handle of the first controller with that id, when no other live session has claimed
    // it; null when another session holds it or no controller has that id.
    IowHandle Claim(std::int32_t ioBoxId);

private:
    IoWarriorLibrary& m_library;
    bool m_bOpen = false;
};

}  // namespace zentrix

#endif
