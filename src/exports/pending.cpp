// Temporary stand-ins for internals that have not landed yet. Each module
// removes its lines here when it lands.
#include "sess/handlers.h"
