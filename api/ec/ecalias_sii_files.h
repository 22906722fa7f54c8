// What the one-slave and the many-slave SII calls of libecalias share: the backup file.
#pragma once
#include <cstddef>
#include <cstdint>

struct ec_master;

// Writes an SII image (count little-endian words) into a new backup file in dir (NULL or
// "": the current directory), named after position, the identity in the image's words
// 8-15 and a UTC stamp; created exclusively (taken names get -2, -3, ...), written whole,
// flushed with its folder. Anything less removes the file: EC_EFILE (file and reason in
// the detail), EC_ETOOBIG when the path does not fit path_size, EC_ENOMEM. The caller
// holds the master's call guard.
int EcWriteBackupFile(ec_master* m, int position, const uint16_t* words, size_t count, const char* dir, char* path,
                      size_t path_size);
