// A plain JACK pass-through client for the ON-AIR soak: in_1/in_2 copied to out_1/out_2 in the
// process callback, nothing else. It counts the xruns the server reports to it, and the periods its
// own callback finished after their deadline as Loudara counts its own, so a soak can put
// Loudara's counts beside what any client in the same run sees.
//   jack_passthrough NAME          (prints "xruns N late periods M" when it gets SIGTERM or SIGINT)

#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<unsigned long> gXruns{0};
std::atomic<unsigned long> gLatePeriods{0};
jack_client_t* gClient = nullptr;
volatile sig_atomic_t gStop = 0;
jack_port_t* gIn[2];
jack_port_t* gOut[2];

int process(jack_nframes_t frames, void*) {
    // The deadline as Loudara reads it: the next period's start, taken before the work.
    jack_nframes_t periodStart = 0;
    jack_time_t startUsecs = 0, deadlineUsecs = 0;
    float periodUsecs = 0;
    const bool timed = jack_get_cycle_times(gClient, &periodStart, &startUsecs, &deadlineUsecs, &periodUsecs) == 0;
    for (int c = 0; c < 2; ++c) {
        std::memcpy(jack_port_get_buffer(gOut[c], frames), jack_port_get_buffer(gIn[c], frames), frames * sizeof(float));
    }
    if (timed && jack_get_time() > deadlineUsecs) gLatePeriods.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int xrun(void*) {
    gXruns.fetch_add(1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "passthrough";
    jack_client_t* client = jack_client_open(name, JackNoStartServer, nullptr);
    gClient = client;
    if (!client) {
        std::fprintf(stderr, "jack_passthrough: no JACK server\n");
        return 1;
    }
    const char* inNames[2] = {"in_1", "in_2"};
    const char* outNames[2] = {"out_1", "out_2"};
    for (int c = 0; c < 2; ++c) {
        gIn[c] = jack_port_register(client, inNames[c], JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        gOut[c] = jack_port_register(client, outNames[c], JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    }
    jack_set_process_callback(client, process, nullptr);
    jack_set_xrun_callback(client, xrun, nullptr);
    signal(SIGTERM, [](int) { gStop = 1; });
    signal(SIGINT, [](int) { gStop = 1; });
    if (jack_activate(client) != 0) return 1;
    while (!gStop) pause();
    jack_client_close(client);
    std::printf("xruns %lu late periods %lu\n", gXruns.load(), gLatePeriods.load());
    return 0;
}
