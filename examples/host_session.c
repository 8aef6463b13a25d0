/* A host of the utterance session in plain C: one thread pushes a WAV file
 * (16 kHz mono 16-bit PCM) in 20 ms packets as if it arrived live, another
 * pulls frames on a 25 fps clock and writes them to one raw RGB file.
 *
 *   host_session <bundle> <motion-dir> <speech.wav> <out.rgb>
 *
 * W2V_ONNX names the speech encoder of the streaming back-end. */
#include <le/le.h>
#include <le/le_utt.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef struct {
  le_utt* utt;
  const int16_t* pcm;
  long samples;
} pusher_args;

static void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

/* The data chunk of a canonical 16 kHz mono 16-bit WAV file. */
static int16_t* read_wav(const char* path, long* samples) {
  FILE* f = fopen(path, "rb");
  unsigned char h[44];
  int16_t* pcm = NULL;
  long bytes;
  if (!f) return NULL;
  if (fread(h, 1, 44, f) != 44 || memcmp(h, "RIFF", 4) || memcmp(h + 8, "WAVE", 4) || h[22] != 1 ||
      (h[24] | h[25] << 8 | h[26] << 16) != 16000 || h[34] != 16) {
    fclose(f);
    return NULL;
  }
  fseek(f, 0, SEEK_END);
  bytes = ftell(f) - 44;
  fseek(f, 44, SEEK_SET);
  pcm = (int16_t*)malloc((size_t)bytes);
  *samples = pcm ? (long)fread(pcm, 2, (size_t)bytes / 2, f) : 0;
  fclose(f);
  return pcm;
}

static void* push_thread(void* p) {
  pusher_args* a = (pusher_args*)p;
  long at;
  for (at = 0; at < a->samples; at += 320) {
    long n = a->samples - at < 320 ? a->samples - at : 320;
    le_utt_push_audio(a->utt, a->pcm + at, (int)n);
    sleep_ms(20);
  }
  le_utt_end_utterance(a->utt);
  return NULL;
}

int main(int argc, char** argv) {
  le_ctx* ctx;
  le_utt* utt;
  pusher_args args;
  pthread_t pusher;
  le_utt_frame_info info;
  uint8_t* rgb;
  size_t bytes;
  FILE* out;
  int spoke = 0, frames = 0, ticks = 0;
  if (argc != 5) {
    fprintf(stderr, "usage: host_session <bundle> <motion-dir> <speech.wav> <out.rgb>\n");
    return 2;
  }
  args.pcm = read_wav(argv[3], &args.samples);
  if (!args.pcm) {
    fprintf(stderr, "%s is not a 16 kHz mono 16-bit WAV file\n", argv[3]);
    return 1;
  }
  ctx = le_create(argv[1], "render", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "%s\n", le_last_error());
    return 1;
  }
  utt = le_utt_open(ctx, argv[2]);
  if (!utt) {
    fprintf(stderr, "%s\n", le_utt_last_error());
    le_destroy(ctx);
    return 1;
  }
  while (le_utt_ready(utt) == 0) sleep_ms(5);
  if (le_utt_ready(utt) < 0) {
    fprintf(stderr, "%s\n", le_utt_last_error());
    le_utt_destroy(utt);
    le_destroy(ctx);
    return 1;
  }
  bytes = (size_t)le_width(ctx) * (size_t)le_height(ctx) * 3;
  rgb = (uint8_t*)malloc(bytes);
  out = fopen(argv[4], "wb");
  if (!rgb || !out) {
    fprintf(stderr, "cannot write %s\n", argv[4]);
    return 1;
  }
  args.utt = utt;
  pthread_create(&pusher, NULL, push_thread, &args);
  /* Until the ease back to idle after the speech, or 60 s. */
  while (ticks++ < 60 * 25) {
    sleep_ms(40);
    if (!le_utt_pull_frame(utt, rgb, bytes, &info)) continue;
    fwrite(rgb, 1, bytes, out);
    ++frames;
    if (info.kind != LE_UTT_FRAME_IDLE) spoke = 1;
    if (spoke && info.kind == LE_UTT_FRAME_IDLE) break;
  }
  pthread_join(pusher, NULL);
  fclose(out);
  printf("%d frames of %dx%d\n", frames, le_width(ctx), le_height(ctx));
  le_utt_destroy(utt);
  le_destroy(ctx);
  free(rgb);
  free((void*)args.pcm);
  return spoke ? 0 : 1;
}
