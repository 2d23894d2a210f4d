// SPDX-License-Identifier: MIT
// What careless or hostile hosts do by mistake, through the public entry
// points: no crash, no hang, no broken file, no failure reported as success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "formats/wave_reader.h"
#include "kivgsm.h"
#include "record/gsm_recorder.h"
#include "support/fake_wave_input.h"
#include "support/fault_file_system.h"
#include "support/test_files.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::Path16;

bool ReadsAsValid(const std::string& path) {
  Bytes b = test::ReadFile(path);
  return InspectWave(b.data(), b.size()).consistent;
}

// Two host threads hammering one recorder's Start and Stop.
TEST(CarelessRecorderHost, TwoThreadsStartingAndStoppingOneRecorder) {
  test::FakeWaveInput fake;
  test::ScratchDir dir;
  auto hammer = [&dir](int t) {
    const auto path = Path16(dir.path(t == 0 ? "t0.wav" : "t1.wav"));
    for (int i = 0; i < 150; ++i) {
      KivGSMSoundRecorderStart(path.c_str());
      if (i % 3 == 0) std::this_thread::sleep_for(100us);
      KivGSMSoundRecorderStop();
    }
  };
  std::thread a(hammer, 0), b(hammer, 1);
  a.join();
  b.join();
  EXPECT_EQ(TheGsmRecorder()->state, RecorderState::kIdle);
  for (const char* f : {"t0.wav", "t1.wav"}) EXPECT_TRUE(ReadsAsValid(dir.path(f))) << f;
}

// A second writer on a file being recorded, by another name for it.
struct SecondWriter {
  const char* name;
  const char* link;  // "", "hard" or "soft": how the second writer names it
  std::function<std::int32_t(const test::PathString&)> write;
};

// The name the second writer uses for `rec`: itself, or a link made as `link` says.
std::string OtherName(const test::ScratchDir& dir, const std::string& rec, const std::string& link) {
  std::string other = rec;
  if (link == "hard") std::filesystem::create_hard_link(rec, other = dir.path("hard.wav"));
  if (link == "soft") std::filesystem::create_symlink(rec, other = dir.path("soft.wav"));
  return other;
}

class CarelessOutputHost : public ::testing::TestWithParam<SecondWriter> {};

TEST_P(CarelessOutputHost, SecondWriterOnARecordingIsRefusedAndTheRecordingGoesOn) {
  test::FakeWaveInput fake({.paced = true, .speed = 20});
  test::ScratchDir dir;
  test::WriteFile(dir.path("in.raw"), test::SpeechSample());
  std::string rec = dir.path("rec.wav");
  ASSERT_EQ(KivGSMSoundRecorderStart(Path16(rec).c_str()), KIV_OK);
  ASSERT_TRUE(fake.WaitForDeliveries(2));
  std::string other = OtherName(dir, rec, GetParam().link);
  EXPECT_EQ(GetParam().write(Path16(other)), KIV_ERR_ARGUMENT);
  ASSERT_TRUE(fake.WaitForDeliveries(fake.deliveries() + 2));
  EXPECT_GE(KivGSMSoundRecorderStop(), 1);
  KivGSMWAVSoundRecorderStop();
  Bytes file = test::ReadFile(rec);
  EXPECT_GE(file.size(), 60u + 65 * 25);
  EXPECT_TRUE(ReadsAsValid(rec));
}

std::int32_t PcmRecording(const test::PathString& p) { return KivGSMWAVSoundRecorderStart(p.c_str()); }
std::int32_t Conversion(const test::PathString& p) {
  return KivWave2GSM610(Path16(KIV_SPEECH_SAMPLE).c_str(), p.c_str());
}

const SecondWriter kSecondWriters[] = {
    {"PcmBySameName", "", PcmRecording},        {"PcmByHardLink", "hard", PcmRecording},
    {"PcmBySymlink", "soft", PcmRecording},     {"ConverterBySameName", "", Conversion},
    {"ConverterBySymlink", "soft", Conversion}, {"ConverterByHardLink", "hard", Conversion}};

INSTANTIATE_TEST_SUITE_P(Writers, CarelessOutputHost, ::testing::ValuesIn(kSecondWriters),
                         [](const auto& info) { return std::string(info.param.name); });

// A GSM recording in a child process, from a fake device of its own, that
// runs until Finish.
class RecordingChild {
 public:
  explicit RecordingChild(const std::string& path) {
    int ready[2], go[2];
    if (::pipe(ready) != 0) return;
    if (::pipe(go) != 0 || (pid_ = ::fork()) < 0) {
      ::close(ready[0]), ::close(ready[1]);
      return;
    }
    ::close(pid_ == 0 ? go[1] : go[0]);
    ::close(pid_ == 0 ? ready[0] : ready[1]);
    if (pid_ == 0) {
      test::FakeWaveInput fake({.paced = true, .speed = 20});
      char ok = KivGSMSoundRecorderStart(Path16(path).c_str()) == KIV_OK && fake.WaitForDeliveries(2);
      char c;
      if (::write(ready[1], &ok, 1) == 1) (void)!::read(go[0], &c, 1);  // until the parent closes its end
      fake.WaitForDeliveries(fake.deliveries() + 2);
      ::_exit(KivGSMSoundRecorderStop());
    }
    go_ = go[1];
    char ok = 0;
    running_ = ::read(ready[0], &ok, 1) == 1 && ok;
    ::close(ready[0]);
  }
  ~RecordingChild() { Finish(); }
  bool running() const { return running_; }
  // Stops the recording; the seconds its Stop returned, or -1.
  int Finish() {
    if (go_ >= 0) ::close(go_);
    go_ = -1;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) result_ = WEXITSTATUS(status);
    pid_ = -1;
    return result_;
  }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
  bool running_ = false;
  int result_ = -1;
};

// The same second writers on a recording that another process makes: the
// lock on its file refuses them too, and that recording goes on.
class CarelessOutputHostBesideAnotherProcess : public ::testing::TestWithParam<SecondWriter> {};

TEST_P(CarelessOutputHostBesideAnotherProcess, SecondWriterOnItsRecordingIsRefused) {
  test::ScratchDir dir;
  std::string rec = dir.path("rec.wav");
  RecordingChild child(rec);
  ASSERT_TRUE(child.running());
  std::string other = OtherName(dir, rec, GetParam().link);
  {
    test::FakeWaveInput fake;
    EXPECT_EQ(GetParam().write(Path16(other)), KIV_ERR_ARGUMENT);
    KivGSMWAVSoundRecorderStop();
  }
  // Not emptied either: the provisional header that Start wrote is still there.
  Bytes head = test::ReadFile(rec);
  EXPECT_TRUE(head.size() >= 60 && std::memcmp(head.data(), "RIFF", 4) == 0) << head.size() << " bytes";
  EXPECT_GE(child.Finish(), 1);
  EXPECT_GE(test::ReadFile(rec).size(), 60u + 65 * 25);
  EXPECT_TRUE(ReadsAsValid(rec));
}

INSTANTIATE_TEST_SUITE_P(Writers, CarelessOutputHostBesideAnotherProcess, ::testing::ValuesIn(kSecondWriters),
                         [](const auto& info) { return std::string(info.param.name); });

// Outputs that cannot seek are refused before anything is written, without
// blocking in open, whether a reader waits on the FIFO or not.
TEST(CarelessOutputHost, FifoOutputsAreRefusedWithoutHanging) {
  test::FakeWaveInput fake;
  test::ScratchDir dir;
  std::string fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::function<std::int32_t()> writers[] = {
      [&] { return KivWave2GSM610(Path16(KIV_SPEECH_SAMPLE).c_str(), Path16(fifo).c_str()); },
      [&] { return KivGSMSoundRecorderStart(Path16(fifo).c_str()); },
      [&] { return KivGSMWAVSoundRecorderStart(Path16(fifo).c_str()); }};
  for (bool reader : {false, true}) {
    int fd = reader ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    for (auto& write : writers) {
      auto begin = std::chrono::steady_clock::now();
      EXPECT_EQ(write(), KIV_ERR_OUTPUT_CREATE) << (reader ? "with a reader" : "with no reader");
      EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    }
    if (fd >= 0) {
      char c;
      EXPECT_LE(::read(fd, &c, 1), 0) << "the reader got bytes";
      ::close(fd);
    }
  }
  EXPECT_TRUE(fake.ops().empty()) << "a device was opened for an output that was refused";
  EXPECT_EQ(KivGSMSoundRecorderStop(), 0);
  EXPECT_EQ(KivGSMWAVSoundRecorderStop(), 0);
}

// No room for the provisional header: 7, with the device never opened.
TEST(CarelessOutputHost, RecorderWithNoRoomForTheHeaderReturnsSevenAndStaysIdle) {
  for (auto start : {KivGSMSoundRecorderStart, KivGSMWAVSoundRecorderStart}) {
    test::FakeWaveInput fake;
    test::FaultFileSystem faults;
    faults.FailWrite(1, /*sticky=*/true);
    SetFileSystemForTesting(faults.fs());
    test::ScratchDir dir;
    EXPECT_EQ(start(Path16(dir.path("r.wav")).c_str()), KIV_ERR_WRITE);
    SetFileSystemForTesting(nullptr);
    EXPECT_TRUE(fake.ops().empty());
    EXPECT_EQ(KivGSMSoundRecorderStop(), 0);
    EXPECT_EQ(KivGSMWAVSoundRecorderStop(), 0);
  }
}

// A host that exits, or unloads the library, while recording.
class CarelessExit : public ::testing::TestWithParam<const char*> {};

TEST_P(CarelessExit, LeavesFinishedFiles) {
#ifdef KIV_SANITIZED
  GTEST_SKIP() << "a plain host cannot load a library built with sanitizers";
#endif
  test::ScratchDir dir;
  Bytes speech = test::SpeechSample();
  test::WriteFile(dir.path("known.raw"), speech);
  std::ofstream(dir.path("asound.conf")) << test::AlsaFilePluginConfig(dir.path("known.raw"));
  int rc = test::RunCommand("ALSA_CONFIG_PATH='" + dir.path("asound.conf") + "' '" KIV_HOST_EXIT "' '" KIV_SHARED_LIB
                            "' '" + dir.path("") + "' " + GetParam());
  ASSERT_EQ(rc, 0);
  EXPECT_TRUE(ReadsAsValid(dir.path("g.wav")));
  EXPECT_TRUE(ReadsAsValid(dir.path("p.wav")));
}

INSTANTIATE_TEST_SUITE_P(Ways, CarelessExit, ::testing::Values("exit", "dlclose"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace kiv
