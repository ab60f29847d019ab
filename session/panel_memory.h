// The panel remembers the operator's settings from one session to the next:
// restored at start, saved at quit, back to the panel file's values on
// request. Indicators and transient controls are left alone.
#pragma once

#include "mdq_ui.h"

namespace mdq::platform {
class SettingsStore;
}

// Where the settings are kept; nullptr (the default) = nothing is
// remembered and nothing is said.
void panel_memory_set_store(mdq::platform::SettingsStore* store);

// Takes the panel's values as its file gave them, what the defaults action
// returns to. Call right after the panel is loaded.
void panel_memory_take_defaults();

// Puts the stored settings on the panel: all of them, or none when the file
// cannot be used. `restore` false (--no-restore) keeps the panel file's
// values. Prints one line naming the file.
void panel_memory_restore(bool restore);

// Writes every remembered setting. Prints one line naming the file.
void panel_memory_save();

// The panel file's values back on every setting (P1_DEFAULTS).
void panel_memory_defaults(int control);

bool panel_remembers(const CtrlInfo& c);
