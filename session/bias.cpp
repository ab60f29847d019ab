// Register-access link and bias supply commands (not built yet).
#include "dispatch.h"

void bias_install_handlers() {}
