// vozaz: command-line companion of vozaz_core.
#include <cstdio>
#include <cstring>
#include <exception>

#include "commands.h"

namespace {

void usage() {
  std::fputs(
      "usage: vozaz <command> ...\n"
      "  pack <bundle-dir> <out.imx>   write an IMX v2 container of a bundle directory\n"
      "  info <bundle> [--threads]     resolve a bundle (directory or container), print its manifest and members;\n"
      "                                --threads renders one frame and lists every thread the library runs\n"
      "  frame <bundle> --si N (--xs f --xd f | --drive i) --out f.png [--rgba] [--crop-only]\n"
      "                                render one face crop and paste it into driver frame N\n"
      "  drive <bundle> --out out.mp4|dir [--frames N] [--threads T]\n"
      "                                replay the stored drive track into an H.264 MP4 or PNG frames\n"
      "  serve <bundle> <motion-dir> --w2v enc.onnx [--port 8080] [--host 127.0.0.1] [--max-sessions 2] [--threads T]\n"
      "                                a web page on which the avatar talks live, from a microphone or a file\n"
      "  speak <bundle> <motion-dir> <audio> --out out.mp4 [--realtime] [--interrupt-at S] [--threads T]\n"
      "                                speak an audio file through an utterance session into an MP4 with sound\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage();
    return 2;
  }
  try {
    if (!std::strcmp(argv[1], "pack")) return vozaz::packCommand(argc - 2, argv + 2);
    if (!std::strcmp(argv[1], "info")) return vozaz::infoCommand(argc - 2, argv + 2);
    if (!std::strcmp(argv[1], "frame")) return vozaz::frameCommand(argc - 2, argv + 2);
    if (!std::strcmp(argv[1], "drive")) return vozaz::driveCommand(argc - 2, argv + 2);
    if (!std::strcmp(argv[1], "speak")) return vozaz::speakCommand(argc - 2, argv + 2);
    if (!std::strcmp(argv[1], "serve")) return vozaz::serveCommand(argc - 2, argv + 2);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vozaz %s: %s\n", argv[1], e.what());
    return 1;
  }
  usage();
  return 2;
}
