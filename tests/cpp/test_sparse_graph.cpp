#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/sparse_graph.h"

namespace dulmar {
namespace {

using Ids = std::vector<size_t>;
using Costs = std::vector<CostVector>;

// Runs `action`, expects a runtime_error with `what`, and returns what it wrote to stdout.
template <typename Action>
std::string ExpectGraphError(Action action, const std::string& what) {
    testing::internal::CaptureStdout();
    try {
        action();
        testing::internal::GetCapturedStdout();
        ADD_FAILURE() << "no exception, expected: " << what;
        return "";
    } catch (const std::runtime_error& error) {
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(error.what(), what);
        return out;
    }
}

TEST(SparseGraph, AddArcGrowsVerticesAndStoresBothSides) {
    SparseGraph g;
    EXPECT_EQ(g.NumVertex(), 0u);
    g.AddArc(5, 2, {1.0, 2.0});
    EXPECT_EQ(g.NumVertex(), 6u);
    EXPECT_EQ(g.AllVertex(), (Ids{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(g.HasVertex(5));
    EXPECT_FALSE(g.HasVertex(6));
    EXPECT_EQ(g.CostDim(), 2u);
    EXPECT_EQ(g.GetSuccs(5), Ids{2});
    EXPECT_EQ(g.GetPreds(2), Ids{5});
    EXPECT_TRUE(g.GetSuccs(2).empty());
    EXPECT_TRUE(g.HasArc(5, 2));
    EXPECT_FALSE(g.HasArc(2, 5));
    EXPECT_EQ(g.GetCost(5, 2), (CostVector{1.0, 2.0}));
    EXPECT_EQ(g.GetSuccCosts(5), (Costs{{1.0, 2.0}}));
    EXPECT_EQ(g.GetPredCosts(2), (Costs{{1.0, 2.0}}));
    EXPECT_EQ(g.NumArc(), 2u);
    EXPECT_EQ(g.NumEdge(), 1u);

    // Re-adding replaces the cost on both sides without a new entry.
    g.AddArc(5, 2, {3.0, 4.0});
    EXPECT_EQ(g.GetSuccs(5), Ids{2});
    EXPECT_EQ(g.GetPreds(2), Ids{5});
    EXPECT_EQ(g.GetSuccCosts(5), (Costs{{3.0, 4.0}}));
    EXPECT_EQ(g.GetPredCosts(2), (Costs{{3.0, 4.0}}));
    EXPECT_EQ(g.NumArc(), 2u);
}

TEST(SparseGraph, InsertionOrderSelfLoopsAndEdges) {
    SparseGraph g;
    g.AddArc(0, 3, {3.0});
    g.AddArc(0, 1, {1.0});
    g.AddArc(2, 1, {2.0});
    g.AddArc(1, 1, {9.0});
    EXPECT_EQ(g.GetSuccs(0), (Ids{3, 1}));
    EXPECT_EQ(g.GetSuccCosts(0), (Costs{{3.0}, {1.0}}));
    EXPECT_EQ(g.GetPreds(1), (Ids{0, 2, 1}));
    EXPECT_EQ(g.GetPredCosts(1), (Costs{{1.0}, {2.0}, {9.0}}));
    EXPECT_TRUE(g.HasArc(1, 1));
    EXPECT_EQ(g.NumArc(), 8u);
    EXPECT_EQ(g.NumEdge(), 4u);

    SparseGraph e;
    e.AddEdge(0, 1, {7.0});
    EXPECT_EQ(e.GetSuccs(0), Ids{1});
    EXPECT_EQ(e.GetSuccs(1), Ids{0});
    EXPECT_EQ(e.GetCost(1, 0), CostVector{7.0});
    EXPECT_EQ(e.NumEdge(), 2u);
}

TEST(SparseGraph, ReadsOfMissingVerticesAndArcsAreEmpty) {
    SparseGraph g;
    g.AddVertex(9);
    EXPECT_EQ(g.NumVertex(), 10u);
    g.AddVertex(3);  // already there: no change
    EXPECT_EQ(g.NumVertex(), 10u);
    EXPECT_TRUE(g.GetSuccs(99).empty());
    EXPECT_TRUE(g.GetPreds(99).empty());
    EXPECT_TRUE(g.GetSuccCosts(99).empty());
    EXPECT_TRUE(g.GetPredCosts(99).empty());
    EXPECT_TRUE(g.GetCost(1, 2).empty());
    EXPECT_FALSE(g.HasArc(1, 2));
    EXPECT_EQ(g.CostDim(), 0u);
    EXPECT_EQ(g.NumArc(), 0u);
}

TEST(SparseGraph, EmptyFirstCostLeavesDimensionUnfixed) {
    SparseGraph g;
    g.AddArc(0, 1, {});
    EXPECT_EQ(g.CostDim(), 0u);
    g.AddArc(1, 0, {4.0, 5.0, 6.0});
    EXPECT_EQ(g.CostDim(), 3u);
    EXPECT_TRUE(g.GetCost(0, 1).empty());
}

TEST(SparseGraph, AddArcDimensionMismatchReportsAndKeepsNewVertices) {
    SparseGraph g;
    g.ChangeCostDim(3, 9999.0);
    EXPECT_EQ(g.CostDim(), 3u);
    EXPECT_EQ(g.NumVertex(), 0u);
    const std::string out = ExpectGraphError([&] { g.AddArc(4, 1, {1.0, 2.0}); },
                                             "[ERROR] SparseGraph::AddArc cdim does not match");
    EXPECT_EQ(out, "[ERROR] SparseGraph::AddArc cdim does not match: 3 != 2\n");
    EXPECT_EQ(g.NumVertex(), 5u);
    EXPECT_FALSE(g.HasArc(4, 1));
    EXPECT_EQ(g.NumArc(), 0u);
}

TEST(SparseGraph, ChangeCostDimCutsAndPadsEveryStoredVector) {
    SparseGraph g;
    g.AddArc(0, 1, {1.0, 2.0, 3.0});
    g.ChangeCostDim(1, 0.0);
    g.AddArc(1, 2, {4.0});
    g.ChangeCostDim(2, 0.5);
    EXPECT_EQ(g.CostDim(), 2u);
    EXPECT_EQ(g.GetCost(0, 1), (CostVector{1.0, 0.5}));
    EXPECT_EQ(g.GetCost(1, 2), (CostVector{4.0, 0.5}));
    EXPECT_EQ(g.GetPredCosts(1), (Costs{{1.0, 0.5}}));
    EXPECT_EQ(g.GetPredCosts(2), (Costs{{4.0, 0.5}}));

    SparseGraph cut;
    cut.AddArc(0, 1, {1.0, 2.0, 3.0});
    cut.ChangeCostDim(2, 0.5);
    EXPECT_EQ(cut.GetCost(0, 1), (CostVector{1.0, 2.0}));
    EXPECT_EQ(cut.GetPredCosts(1), (Costs{{1.0, 2.0}}));
}

TEST(SparseGraph, SetArcCostReplacesExistingArcOnly) {
    SparseGraph g;
    g.AddArc(0, 1, {1.0, 1.0});
    g.AddArc(2, 1, {2.0, 2.0});
    EXPECT_TRUE(g.SetArcCost(2, 1, {5.0, 6.0}));
    EXPECT_EQ(g.GetCost(2, 1), (CostVector{5.0, 6.0}));
    EXPECT_EQ(g.GetPredCosts(1), (Costs{{1.0, 1.0}, {5.0, 6.0}}));
    EXPECT_EQ(g.NumArc(), 4u);
    EXPECT_EQ(g.CostDim(), 2u);
}

TEST(SparseGraph, SetArcCostFailuresInCheckOrder) {
    SparseGraph g;
    g.AddArc(0, 1, {1.0, 1.0});
    const std::string dim_message =
        "[ERROR] SparseGraph::SetArcCost new edge cost dimension does not match! Maybe call ChangeCostDim() at first.";
    const std::string vertex_message = "[ERROR] SparseGraph::SetArcCost vertex does not exist!";
    const std::string arc_message = "[ERROR] SparseGraph::SetArcCost arc does not exist!";

    // The dimension is checked before the vertices.
    EXPECT_EQ(ExpectGraphError([&] { g.SetArcCost(7, 8, {1.0}); }, dim_message), dim_message + "\n");
    EXPECT_EQ(ExpectGraphError([&] { g.SetArcCost(0, 2, {1.0, 1.0}); }, vertex_message), vertex_message + "\n");
    EXPECT_EQ(ExpectGraphError([&] { g.SetArcCost(2, 0, {1.0, 1.0}); }, vertex_message), vertex_message + "\n");
    EXPECT_EQ(ExpectGraphError([&] { g.SetArcCost(1, 0, {1.0, 1.0}); }, arc_message), arc_message + "\n");
    EXPECT_FALSE(g.HasArc(1, 0));
    EXPECT_EQ(g.GetCost(0, 1), (CostVector{1.0, 1.0}));
}

TEST(SparseGraph, VirtualHasVertexShapesReadsAndGrowth) {
    struct Shrunk : SparseGraph {
        bool HasVertex(size_t v) const override { return v < 2; }
    };
    Shrunk g;
    g.CreateFromArcs({0, 1, 2}, {1, 2, 0}, {{1.0}, {2.0}, {3.0}});
    EXPECT_EQ(g.NumVertex(), 3u);
    EXPECT_TRUE(g.GetSuccs(2).empty());  // hidden by the override
    EXPECT_TRUE(g.GetPredCosts(2).empty());
    EXPECT_EQ(g.GetSuccs(1), Ids{2});
}

TEST(SparseGraph, CreateFromArcsRebuildsWithoutCounterOrDimension) {
    SparseGraph g;
    g.AddArc(7, 8, {1.0, 2.0});
    g.CreateFromArcs({0, 2, 0}, {2, 1, 2}, {{1.0}, {2.0}, {3.0}});
    EXPECT_EQ(g.NumVertex(), 3u);
    EXPECT_EQ(g.GetSuccs(0), (Ids{2, 2}));  // repeats are kept
    EXPECT_EQ(g.GetSuccCosts(0), (Costs{{1.0}, {3.0}}));
    EXPECT_EQ(g.GetPreds(2), (Ids{0, 0}));
    EXPECT_EQ(g.GetPreds(1), Ids{2});
    EXPECT_TRUE(g.GetSuccs(1).empty());
    EXPECT_EQ(g.NumArc(), 2u);
    EXPECT_EQ(g.CostDim(), 2u);

    g.CreateFromArcs({}, {}, {});
    EXPECT_EQ(g.NumVertex(), 1u);
    EXPECT_TRUE(g.GetSuccs(0).empty());
    EXPECT_TRUE(g.GetPreds(0).empty());
}

TEST(SparseGraph, CreateFromEdgesAddsBothDirections) {
    SparseGraph g;
    // Extra targets and costs beyond the sources are ignored.
    g.CreateFromEdges({0, 1}, {3, 3, 9}, {{1.0}, {2.0}, {5.0}});
    EXPECT_EQ(g.NumVertex(), 4u);
    EXPECT_EQ(g.GetSuccs(0), Ids{3});
    EXPECT_EQ(g.GetSuccs(3), (Ids{0, 1}));
    EXPECT_EQ(g.GetSuccCosts(3), (Costs{{1.0}, {2.0}}));
    EXPECT_EQ(g.GetPreds(3), (Ids{0, 1}));
    EXPECT_EQ(g.GetPreds(0), Ids{3});
    EXPECT_EQ(g.GetPredCosts(1), Costs{{2.0}});
    EXPECT_EQ(g.NumArc(), 0u);
}

TEST(SparseGraph, BulkBuildersRejectShortParallelLists) {
    SparseGraph g;
    EXPECT_THROW(g.CreateFromArcs({0, 1}, {1}, {{1.0}, {1.0}}), std::invalid_argument);
    EXPECT_THROW(g.CreateFromEdges({0, 1}, {1, 0}, {{1.0}}), std::invalid_argument);
}

TEST(SparseGraph, VertexIdsAtTheTopOfTheRangeAreRefused) {
    SparseGraph g;
    g.AddArc(0, 1, {1.0});
    const size_t top = std::numeric_limits<size_t>::max();
    EXPECT_THROW(g.AddVertex(top), std::length_error);
    EXPECT_THROW(g.AddArc(top, 0, {1.0}), std::length_error);
    EXPECT_EQ(g.NumVertex(), 2u);
    EXPECT_TRUE(g.HasArc(0, 1));
    EXPECT_THROW(g.CreateFromArcs({top}, {0}, {{1.0}}), std::length_error);
    EXPECT_THROW(g.CreateFromEdges({0}, {top}, {{1.0}}), std::length_error);
}

TEST(SparseGraph, ToStrExactText) {
    SparseGraph empty;
    EXPECT_EQ(empty.ToStr(),
              "=== SparseGraph Begin ===\n |V| = 0 outgoing edges \n incoming edges \n=== SparseGraph End ===");

    SparseGraph g;
    g.AddArc(0, 1, {1.5, 2.0});
    g.AddArc(0, 2, {-0.25, 1e6});
    g.AddVertex(3);
    g.AddArc(1, 1, {0.0, 3.0});
    EXPECT_EQ(g.ToStr(),
              "=== SparseGraph Begin ===\n"
              " |V| = 4 outgoing edges \n"
              " -- 0:[1([1.500000,2.000000]),2([-0.250000,1000000.000000]),]\n"
              " -- 1:[1([0.000000,3.000000]),]\n"
              " -- 2:[]\n"
              " -- 3:[]\n"
              " incoming edges \n"
              " -- 0:[]\n"
              " -- 1:[0([1.500000,2.000000]),1([0.000000,3.000000]),]\n"
              " -- 2:[0([-0.250000,1000000.000000]),]\n"
              " -- 3:[]\n"
              "=== SparseGraph End ===");

    SparseGraph bare;
    bare.AddArc(0, 0, {});
    EXPECT_EQ(bare.ToStr(),
              "=== SparseGraph Begin ===\n |V| = 1 outgoing edges \n -- 0:[0([]),]\n"
              " incoming edges \n -- 0:[0([]),]\n=== SparseGraph End ===");
}

TEST(SparseGraph, ToStrPrintsHugeCostsInFull) {
    SparseGraph g;
    g.AddArc(0, 1, {std::ldexp(1.0, 256)});  // exact in binary, 78 decimal digits
    const std::string text = g.ToStr();
    const std::string expected_cost =
        "115792089237316195423570985008687907853269984665640564039457584007913129639936.000000";
    EXPECT_NE(text.find("1([" + expected_cost + "]),]"), std::string::npos) << text;
}

}  // namespace
}  // namespace dulmar
