// Run control (not built yet).
#include "dispatch.h"

void run_install_handlers() {}
