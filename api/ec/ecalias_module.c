/* libecalias.so: the functions of ecalias.h; this file also checks that the header is
 * plain C. Everything else comes from the ec_ecalias archive. */
#include "ecalias.h"
