// The data set and its conversion into the engine's points, interrupts and start formulas.
#include <gtest/gtest.h>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "model/model_file.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {
namespace {

const Model& TwoCompartments()
{
    static const Model model = ParseModel(R"(
[model]
compartments = ["gut", "central"]
rates = ["d(gut)/dt = -ka*gut", "d(central)/dt = ka*gut - ke*central"]
[parameters]
ka = 1.5
ke = 0.1
V = 0.5
[covariates]
wt = "WT"
[outputs]
conc = "central/V"
)",
                                          "m.toml");
    return model;
}

EngineProblem Convert(const std::string& csv)
{
    return BuildEngineProblem(TwoCompartments(), ParseDataSet(csv, "d.csv", {"WT"}));
}

std::string ErrorOf(const std::string& csv)
{
    try {
        Convert(csv);
    } catch (const DataError& error) {
        return error.what();
    }
    return "no error";
}

TEST(DataConversion, AFirstDoseSetsEveryAmountAndLaterDosesAdd)
{
    const EngineProblem problem = Convert(
        "ID,TIME,DV,AMT,CMT,EVID,MDV,WT\n"
        "1,0,.,320,1,1,1,70\n"
        "1,1,5.2,.,2,0,0,70\n"
        "1,12,.,160,1,1,1,70\n"
        "1,13,6.1,.,2,0,0,70\n"
        "1,24,.,80,2,1,1,70\n"
        "1,25,3.0,.,2,0,0,70\n");
    ASSERT_EQ(problem.individuals.size(), 1u);
    const EngineIndividual& one = problem.individuals[0];
    EXPECT_EQ(problem.interruptCount, 3);
    EXPECT_EQ(one.startFormulas, (std::vector<std::vector<std::string>>{
                                     {"320", "0"}, {"F1+160", "F2"}, {"F1", "F2+80"}}));
    ASSERT_EQ(one.points.size(), 6u);
    const std::vector<int> interrupts{1, 1, 2, 2, 3, 3};
    for (std::size_t j = 0; j < 6; ++j) EXPECT_EQ(one.points[j].interrupt, interrupts[j]) << j;
    EXPECT_EQ(one.points[1].observed, std::vector<double>{5.2});
    EXPECT_EQ(one.points[0].observed, std::vector<double>{0.0});
    EXPECT_EQ(one.observationCount, 3);
}

TEST(DataConversion, RowsAtOneTimeActInFileOrder)
{
    const EngineProblem problem = Convert(
        "id,time,dv,amt,cmt,evid,mdv,wt\n"
        "1,0,.,100,1,1,1,60\n"
        "1,2,4.0,.,2,0,0,60\n"
        "1,2,.,100,2,1,1,60\n"
        "1,2,.,50,1,1,1,60\n"
        "1,4,3.0,.,2,0,0,60\n");
    const EngineIndividual& one = problem.individuals[0];
    ASSERT_EQ(one.points.size(), 3u);
    EXPECT_EQ(one.points[1].time, 2.0);
    EXPECT_EQ(one.points[1].interrupt, 2);
    // The observation written before the doses is answered by a copy of the output that reads
    // the amounts copied into P parameters before the interrupt set them.
    EXPECT_EQ(one.points[1].observed, (std::vector<double>{0.0, 4.0}));
    EXPECT_EQ(problem.outputTexts, (std::vector<std::string>{"F2/A3", "P2/A3"}));
    EXPECT_EQ(problem.pTexts, (std::vector<std::vector<std::string>>{{"0", "0"}, {"F1", "F2"}}));
    EXPECT_EQ(one.startFormulas[1], (std::vector<std::string>{"F1+50", "F2+100"}));
}

TEST(DataConversion, ObservationsBeforeTheFirstDoseStartFromZero)
{
    const EngineProblem problem = Convert(
        "ID,TIME,DV,AMT,WT\n"
        "1,0,1.5,.,60\n"
        "1,1,.,100,60\n"
        "1,2,4.0,.,60\n");
    const EngineIndividual& one = problem.individuals[0];
    EXPECT_EQ(one.startFormulas[0], (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(one.startFormulas[1][0], "F1+100");
}

TEST(DataConversion, ACovariateThatChangesBecomesASpeciesSetAtEachStep)
{
    const EngineProblem problem = Convert(
        "ID,TIME,DV,AMT,CMT,EVID,MDV,WT\n"
        "7,0,.,100,1,1,1,60.5\n"
        "7,1,2.0,.,2,0,0,60.5\n"
        "3,0,.,100,1,1,1,.\n"
        "3,1,2.0,.,2,0,0,82\n"
        "3,2,1.0,.,2,0,0,83\n");
    ASSERT_EQ(problem.individuals.size(), 2u);
    EXPECT_EQ(problem.individuals[0].id, "7");
    EXPECT_EQ(problem.individuals[0].covariates, std::vector<double>{60.5});
    EXPECT_EQ(problem.individuals[1].covariates, std::vector<double>{82});  // the missing one filled NOCB
    // WT is species 3; NOCB: 83 holds after time 1, the time of the row before it.
    EXPECT_EQ(problem.speciesCount, 3);
    const EngineIndividual& three = problem.individuals[1];
    EXPECT_EQ(three.startFormulas, (std::vector<std::vector<std::string>>{{"100", "0", "82"}, {"F1", "F2", "83"}}));
    EXPECT_EQ(three.points[1].interrupt, 2);
    EXPECT_EQ(problem.individuals[0].startFormulas[0][2], "60.5");
}

TEST(DataConversion, AFinalPointThatStartsAnInterruptGetsASuccessor)
{
    // A dose after the last observation is dropped; a dose with the last observation keeps
    // it and gets a padding point, so the engine simulates that interrupt.
    const EngineProblem dropped = Convert(
        "ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n1,5,.,100,60\n");
    EXPECT_EQ(dropped.individuals[0].points.size(), 2u);
    EXPECT_EQ(dropped.interruptCount, 1);
    const EngineProblem padded = Convert(
        "ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n1,5,.,100,60\n1,5,3.0,.,60\n");
    const auto& points = padded.individuals[0].points;
    ASSERT_EQ(points.size(), 4u);
    EXPECT_TRUE(points[3].extra);
    EXPECT_GT(points[3].time, 5.0);
    EXPECT_EQ(points[3].interrupt, 2);
}

TEST(DataConversion, TheCurveGridFillsBetweenObservationsWithinTheCapacity)
{
    EngineProblem problem = Convert("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n1,12,.,100,60\n1,24,1.0,.,60\n");
    AddCurveGrid(problem, MaxPoints + 50);
    const auto& points = problem.individuals[0].points;
    EXPECT_EQ(points.size(), std::size_t(MaxPoints));
    for (std::size_t j = 1; j < points.size(); ++j) {
        EXPECT_LT(points[j - 1].time, points[j].time);
        EXPECT_LE(points[j - 1].interrupt, points[j].interrupt);
        // A grid point belongs to the interrupt of the point before it.
        if (points[j].extra) {
            EXPECT_EQ(points[j].interrupt, points[j - 1].interrupt);
        }
    }
    EXPECT_EQ(points.front().time, 0.0);
    EXPECT_EQ(points.back().time, 24.0);
}

TEST(DataConversion, TheSpeciesFileHasEveryIndividualsStartThenFThenA)
{
    const EngineProblem problem = Convert(
        "ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n1,2,.,50,60\n1,3,1.0,.,60\n2,0,.,80,70\n2,1,1.0,.,70\n");
    const std::vector<std::string> lines = SpeciesFileLines(TwoCompartments(), problem);
    // 2 compartments x (2 individuals x 2 interrupts + 1 + 2) lines.
    EXPECT_EQ(lines, (std::vector<std::string>{"100", "F1+50", "80", "F1", "", "-A1", "",  //
                                               "0", "F2", "0", "F2", "", "A1", "-A2"}));
}

TEST(MalformedData, IsReportedWithFileLineAndColumn)
{
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,x,2.0,.,60\n"), "d.csv:3:2 (TIME): 'x' is not a number");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,2,2.0,.,60\n1,1,2.0,.,60\n"),
              "d.csv:4:2 (TIME): the time goes back from 2 to 1 within individual 1 (sort each individual's rows by "
              "time)");
    EXPECT_EQ(ErrorOf("ID,TIME,AMT,WT\n1,0,100,60\n"),
              "d.csv:1: the required column DV is missing (the header has: ID, TIME, AMT, WT)");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT\n1,0,.,100\n"), "d.csv:1: the covariate column WT named in the model is missing");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.\n"), "d.csv:3: 4 fields where the header has 5");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,CMT,WT\n1,0,.,100,3,60\n1,1,2.0,.,2,60\n"),
              "d.csv:2:5 (CMT): a dose needs CMT between 1 and 2 (the model's compartments in order)");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n2,0,.,100,60\n2,1,2.0,.,60\n1,2,2.0,.,60\n"),
              "d.csv:6: the rows of individual 1 must be together (it appeared before, on line 2)");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n1,1,3.0,.,60\n"),
              "d.csv:4: a second observation of output 'conc' at time 1");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,RATE,WT\n1,0,.,100,-3,60\n"),
              "d.csv:2:5 (RATE): RATE must be positive (an infusion), 0 (a bolus), -1 (the rate given by dosing.rate "
              "of the model) or -2 (the duration given by dosing.duration)");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,-5,60\n"), "d.csv:2:4 (AMT): a dose row needs a positive amount");
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,CENS,LIMIT,WT\n1,0,.,100,0,.,60\n1,1,0.5,.,1,0.8,60\n"),
              "d.csv:3:6 (LIMIT): with CENS 1 the value lies between LIMIT and DV: LIMIT must be below DV");
    // Times, observations and covariates reach the engine as 32-bit floats.
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,4e40,2.0,.,60\n"),
              "d.csv:3:2 (TIME): '4e40' is beyond the largest 32-bit float (3.4e+38), the type in which the engine "
              "receives it");
    EXPECT_NE(ErrorOf("ID,TIME,DV,AMT,WT\n1,3.4e38,.,100,60\n1,3.4e38,2.0,.,60\n").find("32-bit floats"),
              std::string::npos);
}

TEST(DataText, AByteOrderMarkAndAnyLineEndingReadAsPlainLines)
{
    const std::string plain = "ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n";
    const EngineProblem expected = Convert(plain);
    for (const std::string& text : {"\xEF\xBB\xBF" + plain, std::string("ID,TIME,DV,AMT,WT\r\n1,0,.,100,60\r\n1,1,2.0,.,60\r\n"),
                                    std::string("ID,TIME,DV,AMT,WT\r1,0,.,100,60\r1,1,2.0,.,60")}) {
        const EngineProblem problem = Convert(text);
        ASSERT_EQ(problem.individuals.size(), 1u);
        EXPECT_EQ(problem.PointCount(), expected.PointCount());
        EXPECT_EQ(problem.individuals[0].points.back().observed, expected.individuals[0].points.back().observed);
    }
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\r1,0,.,100,60\r1,x,2.0,.,60\r"), "d.csv:3:2 (TIME): 'x' is not a number");
}

TEST(DataText, AnAmountBeyondA32BitFloatIsRefusedAndUnreadColumnsAreWarned)
{
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,1e308,60\n"),
              "d.csv:2:4 (AMT): '1e308' is beyond the largest 32-bit float (3.4e+38), the type in which the engine "
              "receives it");
    const DataSet set = ParseDataSet("ID,TIME,DV,AMT,II,CENS,WT\n1,0,.,100,12,1,60\n1,1,2.0,.,.,0,60\n", "d.csv", {"WT"});
    ASSERT_EQ(set.warnings.size(), 2u);
    EXPECT_EQ(set.warnings[0].rfind("d.csv:2:6 (CENS): CENS marks a censored observation", 0), 0u) << set.warnings[0];
    EXPECT_EQ(set.warnings[1].rfind("d.csv:2:5 (II): II is the interval", 0), 0u) << set.warnings[1];
}

// RATE, DUR, II and LIMIT reach the engine's records (or its times) as AMT does.
TEST(DataText, DosingColumnsAndLimitsBeyondA32BitFloatAreRefused)
{
    const std::string beyond =
        "' is beyond the largest 32-bit float (3.4e+38), the type in which the engine receives it";
    const std::string header = "ID,TIME,DV,AMT,RATE,DUR,II,ADDL,CENS,LIMIT,WT\n";
    EXPECT_EQ(ErrorOf(header + "1,0,.,100,1e39,.,.,.,.,.,60\n"), "d.csv:2:5 (RATE): '1e39" + beyond);
    EXPECT_EQ(ErrorOf(header + "1,0,.,100,.,-4e38,.,.,.,.,60\n"), "d.csv:2:6 (DUR): '-4e38" + beyond);
    EXPECT_EQ(ErrorOf(header + "1,0,.,100,.,.,1e39,2,.,.,60\n"), "d.csv:2:7 (II): '1e39" + beyond);
    EXPECT_EQ(ErrorOf(header + "1,0,.,100,.,.,.,.,.,.,60\n1,1,2,.,.,.,.,.,1,-1e300,60\n"),
              "d.csv:3:10 (LIMIT): '-1e300" + beyond);
}

TEST(MalformedData, BeyondTheEnginesCapacitiesIsReportedWhereItHappens)
{
    // The capacities of the engine the program loads (100 individuals, 10 interrupts and 150
    // points per individual in the 64-bit build; 5000, 1000 and 2000 in the large build).
    const std::string line = "d.csv:";
    std::string doses = "ID,TIME,DV,AMT,WT\n";
    for (int t = 0; t <= MaxInterrupts; ++t)
        doses += "1," + std::to_string(2 * t) + ",.,10,60\n1," + std::to_string(2 * t + 1) + ",1.0,.,60\n";
    EXPECT_EQ(ErrorOf(doses), line + std::to_string(2 + 2 * MaxInterrupts) + ": individual 1 needs more than " +
                                  std::to_string(MaxInterrupts) +
                                  " interrupts, the most the engine holds (each "
                                  "time at which a dose is given, an infusion starts or ends, or a covariate changes "
                                  "starts one): split the record into several individuals, or leave out doses long "
                                  "before the observations");

    std::string points = "ID,TIME,DV,AMT,WT\n1,0,.,10,60\n";
    for (int t = 1; t <= MaxPoints; ++t) points += "1," + std::to_string(t) + ",1.0,.,60\n";
    EXPECT_EQ(ErrorOf(points), line + std::to_string(MaxPoints + 2) + ": individual 1 has " +
                                   std::to_string(MaxPoints + 1) + " distinct times, more than the " +
                                   std::to_string(MaxPoints) + " points the engine can hold");

    std::string individuals = "ID,TIME,DV,AMT,WT\n";
    for (int i = 1; i <= MaxIndividuals + 1; ++i)
        individuals += std::to_string(i) + ",0,.,10,60\n" + std::to_string(i) + ",1,1.0,.,60\n";
    EXPECT_EQ(ErrorOf(individuals), line + std::to_string(2 * (MaxIndividuals + 1)) + ": individual " +
                                        std::to_string(MaxIndividuals + 1) + " is one more than the " +
                                        std::to_string(MaxIndividuals) + " individuals the engine can hold");
}

// A column of the convention that the tool does not read is refused or warned about at its
// first row with a value; a column that holds only 0 or '.' says nothing.
TEST(MalformedData, UnreadColumnsOfTheConventionAreRefusedOrWarnedAtTheirFirstValue)
{
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT,DATE\n1,0,.,100,60,.\n1,1,2.0,.,60,3\n"),
              "d.csv:3:6 (DATE): calendar dates are not read: give TIME as the time since a reference");
    EXPECT_EQ(Convert("ID,TIME,DV,AMT,WT,DVID\n1,0,.,100,60,0\n1,1,2.0,.,60,.\n").warnings.size(), 0u);
    EXPECT_EQ(Convert("ID,TIME,DV,AMT,WT,OCC\n1,0,.,100,60,0\n1,1,2.0,.,60,2\n").warnings,
              (std::vector<std::string>{"d.csv:3:6 (OCC): the column is not used; occasions are not modelled (no "
                                        "variability between occasions)"}));
}

TEST(MalformedData, IndividualsWithoutObservationsAreLeftOutWithAWarning)
{
    const EngineProblem problem = Convert("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n1,1,2.0,.,60\n2,0,.,100,60\n2,1,0,.,60\n");
    EXPECT_EQ(problem.individuals.size(), 1u);
    EXPECT_EQ(problem.warnings, (std::vector<std::string>{
                                    "individual 2 (line 4) has no observation and is left out",
                                    "1 observation(s) at or below 0 are treated as missing (the engine weighs only "
                                    "positive values)"}));
    EXPECT_EQ(ErrorOf("ID,TIME,DV,AMT,WT\n1,0,.,100,60\n"), "d.csv: no individual has an observation");
}

}  // namespace
}  // namespace tessuvan::cli
