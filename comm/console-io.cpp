// The console channel: raw standard input gathered by a reader thread, unbuffered standard output.
#include "comm/console-io.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "args/process-args.h"
#include "base/internal-abort.h"
#include "base/program-name.h"
#include "comm/pause.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/thread.h"

COMM_CONSOLE* active_console = nullptr;

namespace {

constexpr const char* stdin_valid = "hStdin != INVALID_HANDLE_VALUE";
// The most one read of standard input takes: a block of the relay's.
constexpr size_t reader_chunk_size = 64;

void release(READER_SHARED* shared) {
    if (shared->m_owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete shared;
}

// The reader thread: what standard input has, up to a block per read, appended under the lock;
// the blocking read stays outside it so the main thread never waits for a key.
void reader_thread_main(void* argument) {
    READER_SHARED* shared = static_cast<READER_SHARED*>(argument);
    CONSISTENCY_CHECK(console_input_open(), stdin_valid, abort_site::console_stdin_in_reader);
    bool failed = false;
    for (;;) {
        char chunk[reader_chunk_size];
        size_t got = 0;
        std::string error;
        CONSOLE_READ result = console_read_some(chunk, sizeof chunk, &got, &error);
        if (result == CONSOLE_READ::bytes) {
            {
                std::unique_lock<std::mutex> lock(shared->m_mutex);
                shared->m_room.wait(
                    lock, [shared] { return shared->m_input.size() < reader_buffer_limit; });
                shared->m_input.append(chunk, got);
                shared->m_news.store(true, std::memory_order_release);
            }
            // The relay's pause ends, so the key goes out now rather than after it.
            pause_key_typed();
            continue;
        }
        if (result == CONSOLE_READ::failed) {
            std::fprintf(stderr, "Error occurred while reading with ReadFile: %s\n", error.c_str());
            std::fflush(stderr);
            failed = true;
        }
        break;
    }
    // A file that simply ended stops the reader quietly: read goes on returning 0.
    if (failed) {
        std::lock_guard<std::mutex> lock(shared->m_mutex);
        shared->m_input_ended = true;
        shared->m_news.store(true, std::memory_order_release);
    }
    release(shared);
}

}  // namespace

COMM_CONSOLE::COMM_CONSOLE() {
    // The connection report may still sit in the buffer; the buffering of a stream that has
    // been written to may only change once it is flushed.
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    console_prepare_output();
    if (console_is_terminal()) {
        std::atexit(restore_at_exit);
        CONSISTENCY_CHECK(console_input_open(), stdin_valid, abort_site::console_stdin_at_build);
        console_save_mode();  // a mode that cannot be read shows when it is given back
        m_mode_saved = true;
        if (console_mode_readable()) {
            if (settings.dump_flags[static_cast<unsigned char>('i')]) {
                std::fputs("changing terminal state of stdin to be non-canonical\n", stdout);
            }
            if (!console_enter_raw()) {
                std::fprintf(stderr, "%s: fatal error: setting console attributes failed\n",
                             program_name);
                std::exit(1);
            }
        }
    }
    m_shared = new (std::nothrow) READER_SHARED;
    if (m_shared == nullptr) process_exit_now(2);
    m_opened = true;
    if (active_console == nullptr) active_console = this;
}

COMM_CONSOLE::~COMM_CONSOLE() {
    CONSISTENCY_CHECK(m_opened, "m_opened", abort_site::console_unbuilt_at_destroy);
    release(m_shared);
    m_shared = nullptr;
    restore_console_mode();
}

int COMM_CONSOLE::read(char* buffer, unsigned int count) {
    CONSISTENCY_CHECK(m_opened, "m_opened", abort_site::console_unbuilt_at_read);
    if (!m_reader_started) {
        m_reader_started = true;
        m_shared->m_owners.fetch_add(1, std::memory_order_relaxed);
        if (!thread_start_detached(reader_thread_main, m_shared)) {
            std::fprintf(stderr, "%s: fatal error: Could not create read thread\n", program_name);
            process_exit_now(3);
        }
    }
    if (!m_shared->m_news.load(std::memory_order_acquire)) return 0;
    std::lock_guard<std::mutex> lock(m_shared->m_mutex);
    // What was read before input failed is still delivered; the end is reported after it.
    if (!m_shared->m_input.empty()) {
        size_t taken = std::min<size_t>(m_shared->m_input.size(), count);
        if (taken == 0) return 0;
        std::memcpy(buffer, m_shared->m_input.data(), taken);
        m_shared->m_input.erase(0, taken);
        if (m_shared->m_input.empty() && !m_shared->m_input_ended) {
            m_shared->m_news.store(false, std::memory_order_relaxed);
        }
        m_shared->m_room.notify_one();
        return static_cast<int>(taken);
    }
    if (!m_shared->m_input_ended) {
        m_shared->m_news.store(false, std::memory_order_relaxed);
        return 0;
    }
    if (!m_end_reported) {
        m_end_reported = true;
        std::fprintf(stderr, "%s: error: Gathering input from STDIO\n", program_name);
    }
    return -1;
}

int COMM_CONSOLE::write(const char* data, unsigned int count) {
    CONSISTENCY_CHECK(m_opened, "m_opened", abort_site::console_unbuilt_at_write);
    return console_write_stdout(data, count);
}

void COMM_CONSOLE::restore_console_mode() {
    if (!m_mode_saved) return;
    CONSISTENCY_CHECK(console_input_open(), stdin_valid, abort_site::console_stdin_at_restore);
    if (!console_restore_mode()) {
        std::fprintf(stderr, "%s: fatal error: restoring console attributes failed\n",
                     program_name);
    }
    m_mode_saved = false;
    if (active_console == this) active_console = nullptr;
}

void COMM_CONSOLE::restore_at_exit() {
    if (active_console != nullptr) active_console->restore_console_mode();
}
