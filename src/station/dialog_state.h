// The settings dialogs as the station keeps them: which dialogs there are, and the Tab
// cycle of each Tab-cycling template. The dialogs themselves are in settings_dialogs.h.
#pragma once

#include <cstddef>

// In the order the message loop offers a typed Tab to the Tab-cycling ones: relay,
// coordinates, source.
enum class DialogId {
    relay,
    coordinates,
    source,
    consumer,
    name,
    threshold,
    frequency,
    serial,
    push,
};
constexpr int kDialogCount = 9;
// The most fields a dialog has: the push targets' one edit a target.
constexpr int kDialogMaxFields = 8;

// A dialog's place in tables kept per dialog.
constexpr size_t dialog_index(DialogId id) {
    return static_cast<size_t>(id);
}

// The Tab cycle of a Tab-cycling template: the dialog of that template opened last goes
// through its fields in order (up to three), OK, Cancel and round again. Only OK and
// Cancel of a dialog of the template end it, and nothing but a Tab moves it.
enum class DialogControl { first_field, second_field, third_field, ok, cancel };
struct TabCycle {
    int state = -1;  // -1 while none is open; else the control that has the focus
};
