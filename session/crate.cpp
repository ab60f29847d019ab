// Crate start-up and the operator's crate commands (not built yet).
#include "dispatch.h"

void crate_install_handlers() {}
void crate_startup() {}
void crate_shutdown() {}
