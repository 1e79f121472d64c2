// The error channel as the exports see it. It lives in core/ (see
// core/ed_error.h), below removal, which writes it too; this name stays for
// the code that reaches the channel through the exports' folder.
#ifndef EDCLEAN_ERROR_H
#define EDCLEAN_ERROR_H

#include "core/ed_error.h"

#endif
