// stress_probe: several threads of a host program call the exported functions at once,
// each on slaves of its own, and every byte they get back is checked (see
// stress_engine.h for the calls). Runs in the master's network namespace against
// ecsim, started with --object all:0x4001:0:ro-octets:1200
// --object all:0x4002:0:ro-octets:5000.
//
//   stress_probe [--seconds S | --rounds N] [--slaves N] [--threads N] [--seed S]
//                [--sdo-timeout US] [--fp-timeout US] [--no-registers]
//   stress_probe --init-race N [--slaves N]
//
// The first form runs the calls after Init and prints one line per kind of call, a
// total line "total calls=N ok=N failed=N wrong=N" and "overrun datagram=R
// sdo_expedited=R" (the longest call of those kinds divided by the timeout it was
// given) on standard output, each wrong success and the first failed calls (result and
// duration) on standard error.
//
// --init-race N: N times two threads call Init at the same moment, then N times Init,
// Deinit and calls on every slave run at the same moment; then one more Init must find
// the segment and a second of calls must go through with nothing wrong. Init and Deinit
// run alone (a second Init waits for the first, a Deinit for an Init in progress), so
// every Init must find all slaves; a call must never succeed with wrong data. Prints
// "init-race inits=N short=N wrong=N" and the calls' total line.
//
// Exit status: 0 when nothing was wrong, 1 when something was, 2 when Init found fewer
// slaves than --slaves (default 3) or the arguments are bad.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "api/ecdevice.h"
#include "tests/tools/stress_engine.h"

namespace {

bool Argument(int argc, char** argv, int* i, const char* name, const char** out) {
    if (strcmp(argv[*i], name) != 0 || *i + 1 >= argc) return false;
    *out = argv[++*i];
    return true;
}

void Usage() {
    fprintf(stderr,
            "usage: stress_probe [--seconds S | --rounds N] [--slaves N] [--threads N] [--seed S]\n"
            "                    [--sdo-timeout US] [--fp-timeout US] [--no-registers]\n"
            "       stress_probe --init-race N [--slaves N]\n");
}

// Calls on every slave while Init and Deinit run in other threads: each success must
// carry the slave's own station address or position.
struct CallsInFlight {
    std::atomic<bool> stop{false};
    long calls = 0;
    long wrong = 0;

    void Run(int slaves) {
        while (!stop.load()) {
            for (int s = 1; s <= slaves; s++) {
                uint8_t station[2] = {0, 0};
                if (FPRead(s, 0x0010, 2, station, 10000) > 0 && (station[0] | (station[1] << 8)) != 0x1000 + s) {
                    fprintf(stderr, "wrong: during Init/Deinit, slave %d station address 0x%04x\n", s,
                            station[0] | (station[1] << 8));
                    wrong++;
                }
                uint8_t position[8] = {0};
                int size = sizeof(position);
                if (SdoRead(s, 0x1018, 4, 0, &size, position, 200000) > 0 &&
                    (size != 4 || position[0] != s || position[1] != 0 || position[2] != 0 || position[3] != 0)) {
                    fprintf(stderr, "wrong: during Init/Deinit, slave %d 0x1018:04 size %d first byte %d\n", s, size,
                            position[0]);
                    wrong++;
                }
                calls += 2;
            }
        }
    }
};

int InitRace(int rounds, int slaves) {
    long inits = 0, short_inits = 0, wrong = 0;
    // Two Inits at once: the second waits for the first and starts afresh, so both find
    // every slave.
    for (int r = 0; r < rounds; r++) {
        std::atomic<int> ready{0};
        int found[2] = {0, 0};
        std::vector<std::thread> both;
        for (int t = 0; t < 2; t++)
            both.emplace_back([&, t] {
                ready++;
                while (ready.load() < 2) {
                }
                found[t] = Init();
            });
        for (std::thread& t : both) t.join();
        for (int f : found) {
            inits++;
            if (f != slaves) {
                fprintf(stderr, "wrong: round %d: an Init racing another found %d slaves of %d\n", r, f, slaves);
                short_inits++;
            }
        }
    }
    // Init, Deinit and calls at once: Deinit runs before Init or after it, never inside
    // it; no call may succeed with wrong data.
    CallsInFlight in_flight;
    std::thread caller([&] { in_flight.Run(slaves); });
    for (int r = 0; r < rounds; r++) {
        std::atomic<int> ready{0};
        int found = -1;
        std::thread init([&] {
            ready++;
            while (ready.load() < 2) {
            }
            found = Init();
        });
        std::thread deinit([&] {
            ready++;
            while (ready.load() < 2) {
            }
            Deinit();
        });
        init.join();
        deinit.join();
        inits++;
        if (found != slaves) {
            fprintf(stderr, "wrong: round %d: an Init racing Deinit found %d slaves of %d\n", r, found, slaves);
            short_inits++;
        }
    }
    in_flight.stop = true;
    caller.join();
    wrong += in_flight.wrong;

    // The master is whole afterwards.
    int found = Init();
    inits++;
    if (found != slaves) {
        fprintf(stderr, "wrong: the Init after the races found %d slaves of %d\n", found, slaves);
        short_inits++;
    }
    stress::Config config;
    config.slaves = slaves;
    config.threads = slaves;
    config.seconds = 1.0;
    stress::Result result = stress::Run(config);
    Deinit();
    for (const std::string& note : result.notes) fprintf(stderr, "wrong: %s\n", note.c_str());
    printf("init-race inits=%ld short=%ld wrong=%ld calls_in_flight=%ld\n", inits, short_inits, wrong, in_flight.calls);
    stress::Print(stdout, result);
    return short_inits + wrong + result.Total().wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    stress::Config config;
    long init_race = 0;
    bool threads_given = false;
    for (int i = 1; i < argc; i++) {
        const char* value = nullptr;
        if (Argument(argc, argv, &i, "--seconds", &value)) {
            config.seconds = atof(value);
        } else if (Argument(argc, argv, &i, "--rounds", &value)) {
            config.rounds = atoi(value);
        } else if (Argument(argc, argv, &i, "--slaves", &value)) {
            config.slaves = atoi(value);
        } else if (Argument(argc, argv, &i, "--threads", &value)) {
            config.threads = atoi(value);
            threads_given = true;
        } else if (Argument(argc, argv, &i, "--seed", &value)) {
            config.seed = strtoull(value, nullptr, 0);
        } else if (Argument(argc, argv, &i, "--sdo-timeout", &value)) {
            config.sdo_timeout_us = atoi(value);
        } else if (Argument(argc, argv, &i, "--fp-timeout", &value)) {
            config.fp_timeout_us = atoi(value);
        } else if (Argument(argc, argv, &i, "--init-race", &value)) {
            init_race = atol(value);
        } else if (strcmp(argv[i], "--no-registers") == 0) {
            config.registers = false;
        } else {
            Usage();
            return 2;
        }
    }
    if (config.slaves < 1 || config.seconds < 0 || config.rounds < 0 || init_race < 0) {
        Usage();
        return 2;
    }
    if (!threads_given) config.threads = config.slaves;
    if (init_race > 0) return InitRace(static_cast<int>(init_race), config.slaves);

    int found = Init();
    if (found < config.slaves) {
        printf("init found %d slaves, %d expected\n", found, config.slaves);
        return 2;
    }
    stress::Result result = stress::Run(config);
    Deinit();
    for (const std::string& note : result.notes) fprintf(stderr, "wrong: %s\n", note.c_str());
    for (const std::string& note : result.failures) fprintf(stderr, "failed: %s\n", note.c_str());
    printf("threads=%d slaves=%d rounds=%ld\n", config.threads < config.slaves ? config.threads : config.slaves,
           config.slaves, result.rounds);
    stress::Print(stdout, result);
    return result.Total().wrong == 0 ? 0 : 1;
}
