// What a screen reader says of the window: the status line, the file line
// and the progress bar each have a caption, said with what the line shows
// ("Status: Done"), and every one of them, the button included, says what it
// is for. The button's words depend on what a press does at that moment.
#pragma once

#include "ui/ui_text.h"

inline constexpr UiText kTextStatusCaption{765, "Status"};
inline constexpr UiText kTextFileCaption{766, "File"};
inline constexpr UiText kTextProgressCaption{767, "Progress"};
// A caption and what its line shows; the punctuation is the language's.
inline constexpr UiText kTextCaptionAndValue{768, "%1: %2"};

inline constexpr UiText kTextStatusPurpose{769, "What the updater is doing now"};
inline constexpr UiText kTextFilePurpose{770, "The firmware file being sent"};
inline constexpr UiText kTextProgressPurpose{771, "How much of the current file has been sent"};
// The button: Cancel, the countdown's Start, and Start while the files go out.
inline constexpr UiText kTextCancelPurpose{772, "Stops the update and closes the window"};
inline constexpr UiText kTextStartPurpose{773, "Starts the update at once"};
inline constexpr UiText kTextBusyPurpose{774, "Unavailable while the files are being sent"};
