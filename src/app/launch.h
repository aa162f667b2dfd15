// The second half of a run, once start-up found everything in place: the installed game's
// settings, the caption, the refusal to run twice or beside the game, and the dialog.
#pragma once

// The process exit code: 1 exactly when the user went through the dialog to its end.
int LaunchUpdate();
