#include "session/dialog_state.h"

std::atomic<DialogSharedState *> gDialogState{nullptr};
