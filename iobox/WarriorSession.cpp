#include "iobox/WarriorSession.h"

#include <map>
#include <mutex>

#include "iobox/Warrior.h"

namespace zentrix {
namespace {

struct EnumeratedController {
    std::int32_t ioBoxId;
    IowHandle handle;
};

struct OpenLibrary {
    std::vector<EnumeratedController> controllers;
    std::map<IowHandle, const IoWarriorSession*> holders;
    std::size_t sessions = 0;
};

std::mutex& SessionsMutex() {
    static std::mutex mutex;
    return mutex;
}

// Keyed by library object, so that a test's own library is opened and closed apart from the
// process's backend.
std::map<IoWarriorLibrary*, OpenLibrary>& OpenLibraries() {
    static std::map<IoWarriorLibrary*, OpenLibrary> libraries;
    return libraries;
}

}  // namespace

IoWarriorSession::IoWarriorSession(IoWarriorLibrary& library) : m_library(library) {
    const std::lock_guard lock(SessionsMutex());
    auto& libraries = OpenLibraries();
    auto it = libraries.find(&library);
    if (it == libraries.end()) {
        bool enumerated = false;
        try {
            enumerated = TCHiIobWarrior::EnumerateDevices(library);
        } catch (...) {
            // No session holds the library, so it must not stay open behind the failure.
            try {
                TCHiIobWarrior::CloseDevices(library);
            } catch (...) {
            }
            throw;
        }
        if (!enumerated) {
            return;
        }
        // The enumerated list is process-wide and rebuilt by the next enumeration, so this
        // opening keeps its own copy.
        OpenLibrary opened;
        for (const std::int32_t id : TCHiIobWarrior::GetIOBoxIds()) {
            opened.controllers.push_back({id, TCHiIobWarrior::GetDeviceHandle(id)});
        }
        it = libraries.emplace(&library, std::move(opened)).first;
    }
    ++it->second.sessions;
    m_bOpen = true;
}

IoWarriorSession::~IoWarriorSession() {
    if (!m_bOpen) {
        return;
    }
    try {
        const std::lock_guard lock(SessionsMutex());
        auto& libraries = OpenLibraries();
        const auto it = libraries.find(&m_library);
        if (it == libraries.end()) {
            return;
        }
        std::erase_if(it->second.holders,
                      [this](const auto& entry) { return entry.second == this; });
        if (--it->second.sessions == 0) {
            libraries.erase(it);
            TCHiIobWarrior::CloseDevices(m_library);
        }
    } catch (...) {
        // A library that fails to close is closed as far as the plug-in is concerned.
    }
}

std::vector<std::int32_t> IoWarriorSession::GetIOBoxIds() const {
    std::vector<std::int32_t> ids;
    if (!m_bOpen) {
        return ids;
    }
    const std::lock_guard lock(SessionsMutex());
    const auto it = OpenLibraries().find(&m_library);
    if (it != OpenLibraries().end()) {
        for (const EnumeratedController& controller : it->second.controllers) {
            ids.push_back(controller.ioBoxId);
        }
    }
    return ids;
}

IowHandle IoWarriorSession::Claim(std::int32_t ioBoxId) {
    if (!m_bOpen) {
        return nullptr;
    }
    const std::lock_guard lock(SessionsMutex());
    const auto it = OpenLibraries().find(&m_library);
    if (it == OpenLibraries().end()) {
        return nullptr;
    }
    for (const EnumeratedController& controller : it->second.controllers) {
        if (controller.ioBoxId == ioBoxId) {
            const auto holder = it->second.holders.try_emplace(controller.handle, this).first;
            return holder->second == this ? controller.handle : nullptr;
        }
    }
    return nullptr;
}

}  // namespace zentrix
