// vozaz: command-line companion of vozaz_core.
#include <cstdio>
#include <cstring>
#include <exception>

#include "commands.h"

namespace {

struct Command {
  const char* name;
  const char* synopsis;
  const char* summary;
  vozaz::OptionTable options;
  int (*run)(const vozaz::Args&);
};

const Command kCommands[] = {
    {"pack", "pack <bundle-dir> <out.imx>", "write an IMX v2 container of a bundle directory", {}, vozaz::packCommand},
    {"info", "info <bundle> [--threads]",
     "resolve a bundle (directory or container), print its manifest and members; --threads renders one frame and "
     "lists every thread the library runs",
     {{}, {"--threads"}}, vozaz::infoCommand},
    {"frame", "frame <bundle> --si N (--xs f --xd f | --drive i) --out f.png [--rgba] [--crop-only]",
     "render one face crop and paste it into driver frame N",
     {{"--si", "--xs", "--xd", "--drive", "--out"}, {"--rgba", "--crop-only"}}, vozaz::frameCommand},
    {"drive", "drive <bundle> --out out.mp4|dir [--frames N] [--threads T]",
     "replay the stored drive track into an H.264 MP4 or PNG frames", {{"--out", "--frames", "--threads"}, {}},
     vozaz::driveCommand},
    {"speak",
     "speak <bundle> <motion-dir> <audio> --out out.mp4 [--w2v ENC.onnx] [--realtime] [--interrupt-at S] "
     "[--threads T] [--no-teeth]",
     "speak an audio file through an utterance session into an MP4 with sound; --w2v names the speech encoder "
     "(default: $W2V_ONNX); an avatar with teeth members speaks with her own teeth unless --no-teeth",
     {{"--out", "--w2v", "--interrupt-at", "--threads"}, {"--realtime", "--no-teeth"}}, vozaz::speakCommand},
    {"render", "render <bundle> <audio> --w2v ENC.onnx --out out.mp4 [--gain G] [--skip N] [--threads T]",
     "render a whole recording offline, as fast as the machine allows, into an MP4 with sound; --skip drops frames "
     "from the start, --gain scales the expression",
     {{"--w2v", "--out", "--gain", "--skip", "--threads"}, {}}, vozaz::renderCommand},
    {"serve",
     "serve <bundle> <motion-dir> [--w2v ENC.onnx] [--port 8080] [--host 127.0.0.1] [--max-sessions 2] "
     "[--threads T]",
     "a web page on which the avatar talks live, from a microphone or an audio file, one utterance session per "
     "browser connection; --w2v names the speech encoder (default: $W2V_ONNX)",
     {{"--w2v", "--port", "--host", "--max-sessions", "--threads"}, {}}, vozaz::serveCommand},
};

void usage(FILE* to) {
  std::fputs("usage: vozaz <command> ...   (vozaz <command> --help for one command)\n", to);
  for (const Command& c : kCommands) std::fprintf(to, "  %s\n      %s\n", c.synopsis, c.summary);
}

bool asksForHelp(int argc, char** argv) {
  for (int i = 0; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    usage(stdout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name)) continue;
    if (asksForHelp(argc - 2, argv + 2)) {
      std::printf("usage: vozaz %s\n  %s\n", c.synopsis, c.summary);
      return 0;
    }
    try {
      return c.run(vozaz::Args(argc - 2, argv + 2, c.options, c.synopsis));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vozaz %s: %s\n", c.name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "vozaz: unknown command '%s'\n", argv[1]);
  usage(stderr);
  return 2;
}
