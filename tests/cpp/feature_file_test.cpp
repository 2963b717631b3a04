#include "feature/feature_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "feature/feature.hpp"
#include "support/file_io.hpp"
#include "support/json_writer.hpp"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

class Saving : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("tolvane_saving_" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void put(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  // Pieces of `piece` bytes each, `pieces` of them, then the end.
  static TextSource text_of(std::size_t pieces, std::size_t piece = 100000) {
    auto made = std::make_shared<std::size_t>(0);
    return [=](std::string& out) {
      out.append(piece, static_cast<char>('a' + *made % 26));
      return ++*made < pieces;
    };
  }
  static bool never() { return false; }
};

// A failure while the text is made (the Python tests cover the failures of the writes).
TEST_F(Saving, AFailedWriteLeavesTheFileAsItWas) {
  put(dir / "f.json", "previous");
  std::size_t calls = 0;
  TextSource failing = [&](std::string& out) {
    if (++calls == 40) throw std::runtime_error("no more");  // after several chunks went out
    out.append(100000, 'x');
    return true;
  };
  EXPECT_THROW(write_file((dir / "f.json").string(), failing, never), std::runtime_error);
  EXPECT_EQ(read(dir / "f.json"), "previous");
  EXPECT_EQ(entries(), std::vector<std::string>{"f.json"});
}

TEST_F(Saving, LinksAreFollowedAndStay) {
  fs::create_directories(dir / "real");
  put(dir / "real" / "f.json", "previous");
  fs::create_symlink("real/f.json", dir / "relative");
  fs::create_symlink(dir / "relative", dir / "absolute");
  fs::create_symlink("real/new.json", dir / "dangling");
  EXPECT_EQ(write_file((dir / "absolute").string(), text_of(1, 5), never), std::nullopt);
  EXPECT_EQ(write_file((dir / "dangling").string(), text_of(2, 3), never), std::nullopt);
  EXPECT_TRUE(fs::is_symlink(dir / "absolute") && fs::is_symlink(dir / "relative"));
  EXPECT_EQ(read(dir / "real" / "f.json"), "aaaaa");
  EXPECT_EQ(read(dir / "real" / "new.json"), "aaabbb");
  EXPECT_EQ(entries(), (std::vector<std::string>{"absolute", "dangling", "real", "relative"}));
  // Links in a circle: the open reports them, as it always did.
  fs::create_symlink("loop2", dir / "loop1");
  fs::create_symlink("loop1", dir / "loop2");
  auto failure = write_file((dir / "loop1").string(), text_of(1), never);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->description, "Too many levels of symbolic links (os error 40)");
}

// The text comes in pieces, the pieces in chunks: however they are cut, the file is the text.
TEST(FeatureFile, TextIsTheSameInPiecesAsWhole) {
  auto add = build_primitive("add", "m", "transform", true, {{{"double", "numeric"}}},
                             {"double", "numeric"});
  std::vector<FeatureRef> features;
  for (int i = 0; i < 5000; ++i) {
    features.push_back(build_feature("f" + std::to_string(i),
                                     ColumnSchema{LogicalType::Integer, LogicalType::Numeric},
                                     nullptr, {}));
  }
  for (int i = 1; i < 5000; ++i) {
    const Feature* bases[] = {features[i - 1].get(), features[i].get()};
    features.push_back(build_feature("", std::nullopt, add.get(), bases));
  }
  std::string whole = feature_file_json(features);
  ASSERT_GT(whole.size(), 2u << 20);
  fs::path path = fs::temp_directory_path() / ("tolvane_pieces_" + std::to_string(::getpid()));
  save_features(features, path.string(), [] { return false; });
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  fs::remove(path);
  EXPECT_EQ(s.str(), whole);
}

// Escaping byte by byte, as the file format describes it.
std::string escaped_bytewise(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", c);
          out += code;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// Strings are scanned many bytes at a time: every byte value, at every place before, across and
// after the scan's word boundaries, must come out as it would byte by byte.
TEST(JsonWriter, EveryByteIsEscapedWhereverItFalls) {
  for (int c = 0; c < 256; ++c) {
    for (std::size_t size = 1; size <= 40; ++size) {
      for (std::size_t at = 0; at < size; ++at) {
        std::string text(size, 'a');
        text[at] = static_cast<char>(c);
        if (size > 20) text[size - 1 - at / 2] = '\x1f';  // a second escape, later on
        std::string out;
        append_json_string(out, text);
        ASSERT_EQ(out, escaped_bytewise(text)) << "byte " << c << " at " << at << " of " << size;
      }
    }
  }
}

// The bound holds for text that needs escaping throughout (written into exactly that much room,
// which AddressSanitizer checks), and a clean run is copied whole.
TEST(JsonWriter, WritesWithinTheBound) {
  std::string worst(100, '\x01'), clean(1000, 'x');
  for (const std::string& text : {worst, clean, std::string()}) {
    std::vector<char> room(json_string_bound(text.size()));
    char* end = write_json_string(room.data(), text);
    ASSERT_LE(end, room.data() + room.size());
    EXPECT_EQ(std::string(room.data(), end), escaped_bytewise(text));
  }
}

}  // namespace
}  // namespace tolvane
