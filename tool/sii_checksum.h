// The SII header checksum lives with the other wire and SII definitions.
#pragma once
#include "wire/sii_crc.h"
