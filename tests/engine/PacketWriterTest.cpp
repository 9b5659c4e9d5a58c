// The packet writer on its own: packets of a test clip through real bitstream filters into a
// real muxer, and the filter failures it tells.
#include "PacketWriter.h"
#include "FFMpegException.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

class TPacketWriterTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    fs::create_directories(Dir);
    AVFormatContext* Raw = nullptr;
    ASSERT_GE(AVFormat().avformat_open_input(&Raw, test::TestMedia("h264_aac.mp4").c_str(), nullptr,
                                             nullptr),
              0);
    Input.reset(Raw);
    ASSERT_GE(AVFormat().avformat_find_stream_info(Raw, nullptr), 0);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // An output of AFormat holding a copy of input stream AIndex, its file opened.
  AVStream* OpenOutput(const char* AFormat, const std::string& AName, int AIndex) {
    AVFormatContext* Raw = nullptr;
    const std::string Path = (Dir / AName).string();
    EXPECT_GE(AVFormat().avformat_alloc_output_context2(&Raw, nullptr, AFormat, Path.c_str()), 0);
    Output.reset(Raw);
    AVStream* Stream = AVFormat().avformat_new_stream(Raw, nullptr);
    AVCodec().avcodec_parameters_copy(Stream->codecpar, Input->streams[AIndex]->codecpar);
    Stream->codecpar->codec_tag = 0;
    Stream->time_base = Input->streams[AIndex]->time_base;
    EXPECT_GE(AVFormat().avio_open(&Raw->pb, Path.c_str(), AVIO_FLAG_WRITE), 0);
    return Stream;
  }

  fs::path Dir = fs::temp_directory_path() / ("pelorix-writer-" + std::to_string(::getpid()));
  TInputContextPtr Input;
  TOutputContextPtr Output;
};

TEST_F(TPacketWriterTest, WritesEveryPacketThroughItsFiltersAndKeepsTheEnd) {
  AVStream* Stream = OpenOutput("h264", "out.h264", 0);
  std::vector<std::string> Lines;
  TPacketWriter Writer(Output.get(), Stream, "copy", false,
                       [&](int, const std::string& AText) { Lines.push_back(AText); });
  // The MP4's length-prefixed pictures become an elementary stream with start codes.
  Writer.AddFilters({"h264_mp4toannexb"});
  ASSERT_GE(AVFormat().avformat_write_header(Output.get(), nullptr), 0);
  EXPECT_EQ(Writer.EndTime(), AV_NOPTS_VALUE);
  TPacketPtr Packet(AVCodec().av_packet_alloc());
  int Copied = 0;
  while (AVFormat().av_read_frame(Input.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == 0) {
      AVCodec().av_packet_rescale_ts(Packet.get(), Input->streams[0]->time_base, Stream->time_base);
      Writer.Write(Packet.get());
      ++Copied;
    }
    AVCodec().av_packet_unref(Packet.get());
  }
  ASSERT_GE(AVFormat().av_write_trailer(Output.get()), 0);
  const AVRational TimeBase = Stream->time_base;
  Output.reset(); // closes the file, and the stream goes with it

  EXPECT_TRUE(Lines.empty());
  EXPECT_EQ(Copied, 50);
  EXPECT_EQ(Writer.PacketsWritten(), 50);
  EXPECT_NEAR(Writer.EndTime() * av_q2d(TimeBase), 2.0, 0.1);
  std::ifstream File(Dir / "out.h264", std::ios::binary);
  const std::string Bytes{std::istreambuf_iterator<char>(File), {}};
  ASSERT_GT(Bytes.size(), 4u);
  EXPECT_EQ(Bytes.substr(0, 4), std::string("\0\0\0\1", 4));
  const test::TMediaFacts Facts = test::ReadMediaFacts((Dir / "out.h264").string());
  ASSERT_EQ(Facts.Streams.size(), 1u);
  EXPECT_EQ(Facts.Streams[0].Packets, 50);
}

TEST_F(TPacketWriterTest, AFilterThatRefusesTheStreamIsToldAndLeftOutUnlessErrorsEndTheRun) {
  AVStream* Stream = OpenOutput("adts", "out.aac", 1);
  std::vector<test::TLogLine> Lines;
  TPacketWriter Writer(Output.get(), Stream, "copy", false,
                       [&](int ALevel, const std::string& AText) {
                         Lines.push_back({ALevel, AText});
                       });
  Writer.AddFilters({"h264_mp4toannexb", "null"});
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0].Level, 0);
  EXPECT_EQ(Lines[0].Text.rfind("h264_mp4toannexb failed for stream 0, codec copy: ", 0), 0u)
      << Lines[0].Text;
  EXPECT_EQ(Stream->codecpar->codec_id, AV_CODEC_ID_AAC);

  TPacketWriter Strict(Output.get(), Stream, "aac", true, {});
  try {
    Strict.AddFilters({"h264_mp4toannexb"});
    ADD_FAILURE() << "no exception";
  } catch (const FFMpegException& E) {
    EXPECT_EQ(std::string(E.what()).rfind("h264_mp4toannexb failed for stream 0, codec aac", 0),
              0u);
  }
  EXPECT_THROW(Strict.AddFilters({"no_such_filter"}), FFMpegException);
}

} // namespace
} // namespace pelorix
