#include "feature/feature_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "feature/feature.hpp"
#include "support/file_io.hpp"

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

}  // namespace
}  // namespace tolvane
