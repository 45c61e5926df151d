// Handlers of commands that this build does not provide yet: they leave the result area
// and every parameter exactly as the host set them.

#include "zuv_commands.h"

