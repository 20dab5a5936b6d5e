// image: a still picture from a video as PPM, BMP or JPEG.
//
// --position (a share of the duration) grabs the first clean picture there through
// MPG_GetImage/MPG_GetImageP in any of the three formats. --seconds seeks to a time
// instead: MPG_GetImageJPG for JPEG (quality fixed at 20 by the library) or
// MPG_GetImageBMP for BMP, whose in-memory file this command writes out.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "console.h"

namespace mpgcli {

namespace {

std::optional<int32_t> FormatFromExtension(const std::string &path) {
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
  std::string ext = path.substr(dot + 1);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "ppm") return MPG_IMAGE_PPM;
  if (ext == "bmp") return MPG_IMAGE_BMP;
  if (ext == "jpg" || ext == "jpeg") return MPG_IMAGE_JPEG;
  return std::nullopt;
}

bool WriteFile(const std::string &path, const uint8_t *bytes, uint32_t size) {
  std::unique_ptr<FILE, int (*)(FILE *)> f(OpenFile(path, "wb"), &std::fclose);
  if (!f) return false;
  if (std::fwrite(bytes, 1, size, f.get()) != size) return false;
  return std::fclose(f.release()) == 0;
}

struct Args {
  std::string input, output;
  std::optional<int32_t> format;
  int32_t position = 0;
  std::optional<int32_t> seconds;
  int32_t height = 0;
  std::optional<int32_t> quality;
};

int Grab(const Args &args) {
  const std::optional<int32_t> format = args.format ? args.format : FormatFromExtension(args.output);
  if (!format) throw UsageError{"cannot tell the image format from '" + args.output + "'; name it with --format"};

  const std::string why = WhyUnreadable(args.input);
  if (!why.empty()) return Fail("image", why);

  bool ok = false;
  if (args.seconds) {
    if (args.quality) throw UsageError{"--quality works with --position; a JPEG grabbed at --seconds has quality 20"};
    if (*format == MPG_IMAGE_JPEG) {
      ok = MPG_GetImageJPG(args.input.c_str(), args.output.c_str(), *args.seconds, args.height) != 0;
    } else if (*format == MPG_IMAGE_BMP) {
      uint32_t size = 0;
      std::unique_ptr<uint8_t, void (*)(void *)> bmp(
          MPG_GetImageBMP(args.input.c_str(), *args.seconds, &size, args.height), &std::free);
      if (bmp && size > 0 && !WriteFile(args.output, bmp.get(), size))
        return Fail("image", "cannot write '" + args.output + "'");
      ok = bmp && size > 0;
    } else {
      throw UsageError{"--seconds gives JPEG or BMP pictures; use --position for PPM"};
    }
  } else {
    const int32_t quality = args.quality.value_or(90);
    ok = args.position == 0
             ? MPG_GetImage(*format, args.input.c_str(), args.output.c_str(), args.height, quality) != 0
             : MPG_GetImageP(*format, args.input.c_str(), args.output.c_str(), args.position, args.height,
                             quality) != 0;
  }
  if (!ok) return Fail("image", "no picture could be taken from '" + args.input + "'");
  return kExitOk;
}

}  // namespace

void AddImageCommand(CLI::App &app, const GlobalOptions &, Commands &commands) {
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("image", "Save a still picture from a video as PPM, BMP or JPEG");
  sub->add_option("input", args->input, "Video file")->required();
  sub->add_option("output", args->output, "Picture file to write")->required();
  sub->add_option("-f,--format", args->format, "ppm, bmp or jpeg (default: from the output's extension)")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, int32_t>{
              {"ppm", MPG_IMAGE_PPM}, {"bmp", MPG_IMAGE_BMP}, {"jpeg", MPG_IMAGE_JPEG}, {"jpg", MPG_IMAGE_JPEG}},
          CLI::ignore_case))
      ->option_text("ppm|bmp|jpeg");
  auto *position = sub->add_option("-p,--position", args->position,
                                   "Where to grab, as a share of the duration in units of --scale (a percentage by "
                                   "default); 0 takes the first clean picture")
                       ->check(CLI::NonNegativeNumber);
  sub->add_option("-s,--seconds", args->seconds, "Grab at this time in whole seconds instead (JPEG or BMP)")
      ->check(CLI::NonNegativeNumber)
      ->excludes(position);
  sub->add_option("--height", args->height, "Picture height in pixels; the width follows (default: the video's)")
      ->check(CLI::NonNegativeNumber);
  sub->add_option("-q,--quality", args->quality, "JPEG quality 0-100 (default 90)")->check(CLI::Range(0, 100));
  commands.push_back({sub, [args] { return Grab(*args); }});
}

}  // namespace mpgcli
