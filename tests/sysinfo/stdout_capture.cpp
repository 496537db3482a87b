// SPDX-License-Identifier: BSD-2-Clause
#include "stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "fake_processor.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string capture_stdout(const std::function<void()>& body) {
  const std::unique_ptr<std::FILE, FileCloser> sink(std::tmpfile());
  if (!sink) {
    ADD_FAILURE() << "no temporary file for standard output";
    return {};
  }
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(sink.get()), STDOUT_FILENO);
  body();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);

  std::string bytes;
  std::rewind(sink.get());
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, sink.get())) > 0) {
    bytes.append(chunk, got);
  }
  return bytes;
}

void reset_fakes() {
  reset_fake_processor();
  reset_fake_platform();
}
