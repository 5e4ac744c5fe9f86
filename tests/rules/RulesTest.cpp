#include "rules/Rules.h"
#include "cardsim/ActivityScript.h"
#include "cardsim/InfringementWeek.h"
#include "rules/RulesJson.h"

#include <gtest/gtest.h>
#include <iostream>

TEST(Rules, Placeholder) {
    auto j = rules::Judge(cardsim::InfringementWeek());
    std::cout << rules::FindingsText(j, {}) << rules::FindingsJson(j) << "\n";
    EXPECT_EQ(j.Infringements.size(), 6u);
}
