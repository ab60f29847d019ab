// EASIROC board commands (not built yet).
#include "dispatch.h"

void board_install_handlers() {}
