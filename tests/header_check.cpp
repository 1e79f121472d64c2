#include "edclean.h"
int edclean_header_check_cpp;
