#include "test_media.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace test_media {
namespace {

// Generating any of these files takes a few seconds; a hung ffmpeg must not hang a test.
constexpr int FFMPEG_TIMEOUT_SECONDS = 180;

std::mutex &cache_mutex() {
    static std::mutex m;
    return m;
}

bool file_exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

void make_dirs(const std::string &path) {
    std::string partial;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') partial = "/";
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        partial += part + "/";
        ::mkdir(partial.c_str(), 0755);
    }
}

// Runs a program without a shell; output goes to `log_path`. Returns its exit status,
// -1 when it could not be started or was killed after the time limit.
int run_program(const std::vector<std::string> &args, const std::string &log_path) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(FFMPEG_TIMEOUT_SECONDS);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string unique_suffix() {
    static int counter = 0;
    return "." + std::to_string(::getpid()) + "." + std::to_string(++counter) + ".tmp";
}

std::string read_tail(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    if (text.size() > 2000) text = text.substr(text.size() - 2000);
    return text;
}

std::vector<std::string> source_args(const std::string &inputs, double seconds) {
    const std::string d = std::to_string(seconds);
    std::vector<std::string> a;
    if (inputs.find('v') != std::string::npos) {
        a.insert(a.end(), {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=" + d});
    }
    if (inputs.find('a') != std::string::npos) {
        a.insert(a.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=" + d});
    }
    return a;
}

const std::vector<std::string> H264 = {"-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
                                       "-pix_fmt", "yuv420p", "-g", "25", "-bf", "0", "-b:v", "400k"};
const std::vector<std::string> AAC = {"-c:a", "aac", "-b:a", "64k", "-ac", "2"};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string seconds_tag(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", s);
    return buf;
}

}  // namespace

std::string data_dir() {
    const char *env = std::getenv("NUVIX_TEST_DATA_DIR");
    std::string dir = (env && *env) ? env : NUVIX_TEST_DATA_DIR;
    make_dirs(dir);
    return dir;
}

std::string generate(const std::string &name, const std::string &inputs, double seconds,
                     const std::vector<std::string> &output_args) {
    std::lock_guard<std::mutex> lock(cache_mutex());
    const std::string dir = data_dir();
    const std::string path = dir + "/" + name;
    if (file_exists(path)) return path;

    // The temporary name keeps the extension so ffmpeg can still infer the format.
    const auto dot = name.rfind('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    const std::string tmp = dir + "/" + stem + unique_suffix() + ext;
    const std::string log = tmp + ".log";

    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
    args = concat(args, source_args(inputs, seconds));
    args = concat(args, output_args);
    args.push_back(tmp);

    const int rc = run_program(args, log);
    if (rc != 0 || !file_exists(tmp)) {
        std::fprintf(stderr, "test_media: ffmpeg failed for %s (rc %d): %s\n", name.c_str(), rc,
                     read_tail(log).c_str());
        std::remove(tmp.c_str());
        std::remove(log.c_str());
        return {};
    }
    std::remove(log.c_str());
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return file_exists(path) ? path : std::string();
    }
    return path;
}

std::string h264_aac_mp4(double seconds) {
    return generate("av_" + seconds_tag(seconds) + "s.mp4", "va", seconds,
                    concat(concat(H264, AAC), {"-movflags", "+faststart", "-shortest"}));
}

std::string h264_aac_ts(double seconds) {
    return generate("av_" + seconds_tag(seconds) + "s.ts", "va", seconds,
                    concat(concat(H264, AAC), {"-muxdelay", "0", "-muxpreload", "0", "-shortest", "-f", "mpegts"}));
}

std::string video_only_mp4(double seconds) {
    return generate("v_" + seconds_tag(seconds) + "s.mp4", "v", seconds, concat(H264, {"-movflags", "+faststart"}));
}

std::string audio_only_m4a(double seconds) {
    return generate("a_" + seconds_tag(seconds) + "s.m4a", "a", seconds, concat(AAC, {"-movflags", "+faststart"}));
}

std::string video_only_ts_at(double start_seconds, double seconds) {
    return generate("v_at" + seconds_tag(start_seconds) + "_" + seconds_tag(seconds) + "s.ts", "v", seconds,
                    concat(H264, {"-muxdelay", "0", "-muxpreload", "0", "-output_ts_offset",
                                  std::to_string(start_seconds), "-f", "mpegts"}));
}

std::string audio_only_ts_at(double start_seconds, double seconds) {
    return generate("a_at" + seconds_tag(start_seconds) + "_" + seconds_tag(seconds) + "s.ts", "a", seconds,
                    concat(AAC, {"-muxdelay", "0", "-muxpreload", "0", "-output_ts_offset",
                                 std::to_string(start_seconds), "-f", "mpegts"}));
}

std::string hls_vod(double seconds) {
    std::lock_guard<std::mutex> lock(cache_mutex());
    const std::string dir = data_dir();
    const std::string folder = dir + "/hls_" + seconds_tag(seconds) + "s";
    const std::string playlist = folder + "/index.m3u8";
    if (file_exists(playlist)) return playlist;

    // Built in a private folder and renamed whole, so no reader sees half a playlist.
    const std::string tmp = dir + "/hls" + unique_suffix();
    make_dirs(tmp);
    const std::string log = tmp + ".log";
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
    args = concat(args, source_args("va", seconds));
    args = concat(args, concat(concat(H264, AAC), {"-shortest", "-f", "hls", "-hls_time", "1",
                                                    "-hls_playlist_type", "vod", "-hls_segment_filename",
                                                    tmp + "/seg%03d.ts", tmp + "/index.m3u8"}));
    const int rc = run_program(args, log);
    if (rc != 0 || !file_exists(tmp + "/index.m3u8")) {
        std::fprintf(stderr, "test_media: ffmpeg failed for HLS (rc %d): %s\n", rc, read_tail(log).c_str());
        std::remove(log.c_str());
        return {};
    }
    std::remove(log.c_str());
    if (std::rename(tmp.c_str(), folder.c_str()) != 0) {
        // Another process won the race; its folder is complete. Ours is left for cleanup.
        std::string cmd_dir = tmp;
        run_program({"rm", "-rf", cmd_dir}, "/dev/null");
    }
    return file_exists(playlist) ? playlist : std::string();
}

bool has_av1_encoder() {
    static int cached = -1;
    std::lock_guard<std::mutex> lock(cache_mutex());
    if (cached < 0) {
        cached = 0;
        for (const char *enc : {"libaom-av1", "libsvtav1"}) {
            const std::string log = data_dir() + "/encoder" + unique_suffix();
            run_program({"ffmpeg", "-hide_banner", "-h", std::string("encoder=") + enc}, log);
            const std::string help = read_tail(log);
            std::remove(log.c_str());
            if (help.find("Encoder " + std::string(enc)) != std::string::npos) cached = 1;
        }
    }
    return cached == 1;
}

std::string av1_mp4() {
    if (!has_av1_encoder()) return {};
    // libaom in real-time mode at this size takes well under a second per second of video.
    std::string out = generate("av1_1.0s.mp4", "va", 1.0,
                               concat({"-c:v", "libaom-av1", "-cpu-used", "8", "-usage", "realtime", "-b:v",
                                       "200k", "-pix_fmt", "yuv420p", "-g", "25"},
                                      concat(AAC, {"-movflags", "+faststart", "-shortest"})));
    if (!out.empty()) return out;
    return generate("av1s_1.0s.mp4", "va", 1.0,
                    concat({"-c:v", "libsvtav1", "-preset", "12", "-pix_fmt", "yuv420p", "-g", "25"},
                           concat(AAC, {"-movflags", "+faststart", "-shortest"})));
}

}  // namespace test_media
