#include "text/json.h"
// Implementation pending (foundation work in progress).
