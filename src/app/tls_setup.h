// The run's TLS, set up once before the run for an https:// URL: a --ca file
// that cannot be used stops the run before anything is sent.
#pragma once

#include "app/test_config.h"

// Makes config.tlsContext for an https:// URL from --insecure and --ca; does
// nothing for http://. On failure writes one line on standard error and
// returns false.
bool prepareTls(TestConfig& config);

// Frees what prepareTls made; the run has ended.
void releaseTls(TestConfig& config);
