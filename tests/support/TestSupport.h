// Test support for process-level and CORBA tests, the one header they
// include: child processes with captured output (ChildProcess.h), a private
// omniNames naming service on a free loopback port, a tmx-notifier child
// and an in-process test ORB (CorbaEnv.h), and the monitor's run directory,
// files, log and start (MonitorFiles.h). The light helpers
// (TempDir, ScopedEnv, eventually, CaptureFd) are in TestUtil.h, the
// recording sink and consumer in Recording.h, an ORB for the whole binary
// in OrbEnvironment.h.
//
// Typical use in an integration test:
//
//   tmx::test::CorbaEnv env;              // omniNames on 127.0.0.1:<free port>
//   env.startNotifier();                  // tmx-notifier, waits until bound
//   tmx::test::TestOrb orb(env.orbArgs()); // this process's ORB
//   auto notifier = orb.resolve("Notifier");
//   ...
//   // destructors: ORB destroyed, notifier and omniNames stopped (SIGTERM,
//   // SIGKILL after a bounded wait), children reaped, temp dirs removed.
//
// Every wait is bounded; failures to start throw std::runtime_error with a
// text that includes what the child printed.
#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/CorbaEnv.h"
#include "tests/support/MonitorFiles.h"
#include "tests/support/TestUtil.h"
