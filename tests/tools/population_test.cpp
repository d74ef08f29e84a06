// The population model's blocks of Ω: the Cholesky packing covers exactly the positive definite
// matrices, and a block's draws are its factor times the normal draws (√ω²·z for a 1×1 block,
// to the last bit).
#include <cmath>

#include <gtest/gtest.h>

#include "population/population_json.h"
#include "population/population_model.h"

namespace {

using namespace tessuvan::population;

TEST(Population, BlocksPackByTheirCholeskyFactorAndUnpackToThemselves)
{
    OmegaBlock block{{"CL", "V", "ka"}, Eigen::Matrix3d{{0.09, 0.03, -0.01}, {0.03, 0.25, 0.02}, {-0.01, 0.02, 0.4}}};
    std::vector<double> packed = {7.0};  // appended after what is there
    ASSERT_TRUE(block.Pack(packed));
    ASSERT_EQ(packed.size(), 1 + block.PackedSize());
    EXPECT_LT((OmegaBlock::Unpack(packed.data() + 1, 3) - block.covariance).lpNorm<Eigen::Infinity>(), 1e-15);
    // Whatever the packed numbers, the block is positive definite.
    const double any[] = {-3.0, 5.0, 2.0, -40.0, 0.0, 1.0};
    EXPECT_EQ(Eigen::LLT<Eigen::MatrixXd>(OmegaBlock::Unpack(any, 3)).info(), Eigen::Success);
    // Not positive definite: no factor.
    block.covariance(0, 1) = block.covariance(1, 0) = 0.2;
    EXPECT_FALSE(block.Pack(packed));
    EXPECT_FALSE((OmegaBlock{{"CL"}, Eigen::MatrixXd::Zero(1, 1)}.Pack(packed)));

    const Omega omega = Omega::Diagonal({"CL", "V"}, {0.09, 0.25}, {false, true});
    EXPECT_EQ(omega.Dimension(), 2u);
    EXPECT_EQ(omega.Names(), (std::vector<std::string>{"CL", "V"}));
    EXPECT_TRUE(omega.blocks[1].fixed && !omega.blocks[0].fixed);
    EXPECT_EQ(omega.Matrix(), Eigen::Matrix2d({{0.09, 0.0}, {0.0, 0.25}}));
}

TEST(Population, DrawsAreTheFactorTimesTheNormalDrawsInTheBlocksOrder)
{
    Eigen::MatrixXd factor;
    ASSERT_TRUE((OmegaBlock{{"V"}, Eigen::MatrixXd::Constant(1, 1, 0.37)}.Factor(factor)));
    double eta = 0;
    DrawBlock(
        factor, [] { return 1.2345678901234567; }, &eta);
    EXPECT_EQ(eta, std::sqrt(0.37) * 1.2345678901234567);  // bit for bit

    const OmegaBlock block{{"CL", "V"}, Eigen::Matrix2d{{0.09, 0.06}, {0.06, 0.25}}};
    ASSERT_TRUE(block.Factor(factor));
    const double z[] = {0.5, -2.0};
    int next = 0;
    double etas[2];
    DrawBlock(
        factor, [&] { return z[next++]; }, etas);
    EXPECT_NEAR(etas[0], 0.3 * 0.5, 1e-15);
    EXPECT_NEAR(etas[1], 0.2 * 0.5 + std::sqrt(0.25 - 0.04) * -2.0, 1e-15);
}

// What the report writes of θ, Ω and σ is what the runs that simulate from a fit read back.
TEST(Population, ResultsJsonMembersReadBackAsWritten)
{
    nlohmann::ordered_json written;
    AddPopulationMembers(written, {{"ka", 1.4907, 0.3, false}, {"CL", 0.04, std::nan(""), true}},
                         {{"ka", 0.4, 0.1, false}}, {{"additive", 0.7, 0.05, false}});
    const JsonLine lines[] = {{"", 2, JsonBreak::EntriesAndClosing}, {"theta", 4, JsonBreak::EntriesAndClosing}};
    const std::string text = JsonText(written, lines);
    EXPECT_NE(text.find("\n    \"CL\": {\"value\": 0.04, \"se\": null, \"rse_percent\": null, \"fixed\": true}\n  },"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n  \"omega\": {\"ka\": {\"variance\": 0.4, \"sd\": 0.632455532, \"se\": 0.1,"),
              std::string::npos)
        << text;
    const nlohmann::json results = nlohmann::json::parse(text);
    const PopulationValues values = ReadPopulationJson(results);
    EXPECT_EQ(values.theta, (std::vector<std::pair<std::string, double>>{{"CL", 0.04}, {"ka", 1.4907}}));
    EXPECT_EQ(values.omega, (std::vector<std::pair<std::string, double>>{{"ka", 0.4}}));
    EXPECT_EQ(values.sigma, (std::vector<std::pair<std::string, double>>{{"additive", 0.7}}));
    nlohmann::json broken = results;
    broken["omega"]["ka"]["variance"] = "0.4";
    EXPECT_THROW(ReadPopulationJson(broken), PopulationJsonError);
}

}  // namespace
