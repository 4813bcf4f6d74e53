#pragma once

#include "common/VRNError.h"

#include <optional>

// Decides whether a backup or a snapshot may start (the main controller: not while an update
// is being installed) and hears when one that it allowed has ended.
class KBEHelperBackupManagerDelegate {
public:
    virtual ~KBEHelperBackupManagerDelegate() = default;

    // True when the run may start; otherwise false with the reason in `error`.
    virtual bool prepareForBackupWithError(std::optional<VRNError>* error) = 0;
    // The run that prepareForBackupWithError allowed has ended.
    virtual void unprepareForBackup() = 0;
};
