// A message dialog with a check box "Don't show this dialog for this session again.": the check box
// starts as Flag says and Flag takes its state when the dialog closes, so a caller that shows the dialog
// only while Flag is false suppresses it for the rest of the run.
//
// GUI thread only.
#pragma once

#include <QString>
#include <functional>

#include "platform/widgets/Controls.h"

inline constexpr const char* kDontShowAgainCaption = "Don't show this dialog for this session again.";

// Shows the dialog modally; returns its modal result. Flag is set from the check box also when showing
// the dialog failed with an exception (which is passed on).
int MessageDlgDontShowAgain(bool& Flag, const QString& Caption, const QString& Text, lw::widgets::MsgDlgType Type,
                            unsigned Buttons);

// Tests and the unattended mode answer the dialog: the hook gets the request and the check box's state
// (which it may change) and returns the modal result. Null restores the real dialog.
using DontShowAgainHook = std::function<int(const lw::widgets::MessageDlgRequest& Request, bool& Checked)>;
void SetDontShowAgainHook(DontShowAgainHook Hook);
