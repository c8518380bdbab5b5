add_test([=[Differential.CriteriaAndSearchRulesMatchPlainScoring]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Differential.CriteriaAndSearchRulesMatchPlainScoring]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Differential.CriteriaAndSearchRulesMatchPlainScoring]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_differential.cpp:108]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Differential.GrownTreesMatchPlainGrowthNodeForNode]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Differential.GrownTreesMatchPlainGrowthNodeForNode]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Differential.GrownTreesMatchPlainGrowthNodeForNode]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_differential.cpp:179]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Differential.ForestTreesAreThePlainGrowthOfTheirBootstrapSamplesInIndexOrder]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Differential.ForestTreesAreThePlainGrowthOfTheirBootstrapSamplesInIndexOrder]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Differential.ForestTreesAreThePlainGrowthOfTheirBootstrapSamplesInIndexOrder]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_differential.cpp:207]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Split.RoutesStrictlyBelowTheThresholdLeft]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Split.RoutesStrictlyBelowTheThresholdLeft]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Split.RoutesStrictlyBelowTheThresholdLeft]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_differential.cpp:233]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Split.ChecksOnlyWhatItReads]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Split.ChecksOnlyWhatItReads]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Split.ChecksOnlyWhatItReads]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_differential.cpp:258]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[SortEntries.OrdersLikeLessThanWithNaNLastAndStableTies]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=SortEntries.OrdersLikeLessThanWithNaNLastAndStableTies]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[SortEntries.OrdersLikeLessThanWithNaNLastAndStableTies]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_differential.cpp:270]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[KeyedStreams.NonceZeroIsTheCoreGeneratorAndEveryPurposeHasItsOwnStream]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=KeyedStreams.NonceZeroIsTheCoreGeneratorAndEveryPurposeHasItsOwnStream]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[KeyedStreams.NonceZeroIsTheCoreGeneratorAndEveryPurposeHasItsOwnStream]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:119]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[WeightedRows.GrowTheTreeOfTheirRowsRepeatedInPlace]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=WeightedRows.GrowTheTreeOfTheirRowsRepeatedInPlace]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[WeightedRows.GrowTheTreeOfTheirRowsRepeatedInPlace]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:154]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ForestChunks.MatchTheWholeForestAndThePlainGrowthOfTheirWeightedDrawsAndVoteOutOfBag]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ForestChunks.MatchTheWholeForestAndThePlainGrowthOfTheirWeightedDrawsAndVoteOutOfBag]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ForestChunks.MatchTheWholeForestAndThePlainGrowthOfTheirWeightedDrawsAndVoteOutOfBag]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:180]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[WideRows.NodesThatSortTheirOwnFeaturesGrowTheSameTrees]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=WideRows.NodesThatSortTheirOwnFeaturesGrowTheSameTrees]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[WideRows.NodesThatSortTheirOwnFeaturesGrowTheSameTrees]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:236]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[FeatureDraws.CountOnlyFeaturesThatCanDivideTheNodeAndFollowTheKey]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=FeatureDraws.CountOnlyFeaturesThatCanDivideTheNodeAndFollowTheKey]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[FeatureDraws.CountOnlyFeaturesThatCanDivideTheNodeAndFollowTheKey]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:278]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[NodeStats.AManyClassDeepTreeKeepsOneCountPerRow]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=NodeStats.AManyClassDeepTreeKeepsOneCountPerRow]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[NodeStats.AManyClassDeepTreeKeepsOneCountPerRow]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:315]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Importances.AreTheNormalisedImpurityDecreasesAndForestsAverageSplittingTrees]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Importances.AreTheNormalisedImpurityDecreasesAndForestsAverageSplittingTrees]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Importances.AreTheNormalisedImpurityDecreasesAndForestsAverageSplittingTrees]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:332]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ModelFormat.RoundTripKeepsEveryTreeAndTheMetadata]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ModelFormat.RoundTripKeepsEveryTreeAndTheMetadata]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ModelFormat.RoundTripKeepsEveryTreeAndTheMetadata]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:378]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ModelFormat.EveryTruncationIsRefusedAndTellsHowFarTheModelReaches]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ModelFormat.EveryTruncationIsRefusedAndTellsHowFarTheModelReaches]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ModelFormat.EveryTruncationIsRefusedAndTellsHowFarTheModelReaches]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:435]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ModelFormat.EveryFlippedBitIsRefused]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ModelFormat.EveryFlippedBitIsRefused]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ModelFormat.EveryFlippedBitIsRefused]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:452]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ModelFormat.AlteredIndicesAreRefusedEvenWithAValidChecksum]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ModelFormat.AlteredIndicesAreRefusedEvenWithAValidChecksum]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ModelFormat.AlteredIndicesAreRefusedEvenWithAValidChecksum]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:468]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[PreparedWalks.PredictWhatWalksMadeForTheCallPredict]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=PreparedWalks.PredictWhatWalksMadeForTheCallPredict]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[PreparedWalks.PredictWhatWalksMadeForTheCallPredict]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_estimator_core.cpp:394]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Contributions.AStopRequestEndsTheWalks]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Contributions.AStopRequestEndsTheWalks]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Contributions.AStopRequestEndsTheWalks]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:147]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GaussLegendre.IntegratesEveryPolynomialOfDegreeBelowTwiceItsPoints]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GaussLegendre.IntegratesEveryPolynomialOfDegreeBelowTwiceItsPoints]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GaussLegendre.IntegratesEveryPolynomialOfDegreeBelowTwiceItsPoints]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:155]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[NodeValues.FollowTheRowsRoutedThroughTheTree]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=NodeValues.FollowTheRowsRoutedThroughTheTree]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[NodeValues.FollowTheRowsRoutedThroughTheTree]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:166]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ChaCha.MatchesPublishedVectors]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ChaCha.MatchesPublishedVectors]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ChaCha.MatchesPublishedVectors]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:55]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ChaChaRng.TakesANewKeyAfterEvery64KiBAndGoesOnWhenNoneComes]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ChaChaRng.TakesANewKeyAfterEvery64KiBAndGoesOnWhenNoneComes]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ChaChaRng.TakesANewKeyAfterEvery64KiBAndGoesOnWhenNoneComes]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:74]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ChaChaRng.ForkedChildTakesANewKeyMidBlock]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ChaChaRng.ForkedChildTakesANewKeyMidBlock]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ChaChaRng.ForkedChildTakesANewKeyMidBlock]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:93]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Draw.IndexIsTheHighHalfAndOutputsPastTheRejectionZoneAreReplaced]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Draw.IndexIsTheHighHalfAndOutputsPastTheRejectionZoneAreReplaced]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Draw.IndexIsTheHighHalfAndOutputsPastTheRejectionZoneAreReplaced]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:130]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[SampleSize.RoundsThroughSinglePrecision]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=SampleSize.RoundsThroughSinglePrecision]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[SampleSize.RoundsThroughSinglePrecision]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:153]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Bootstrap.MatchesAnIndependentlyComputedStreamAfterRefusingUnusableRowCounts]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Bootstrap.MatchesAnIndependentlyComputedStreamAfterRefusingUnusableRowCounts]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Bootstrap.MatchesAnIndependentlyComputedStreamAfterRefusingUnusableRowCounts]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:170]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Bootstrap.ThreadsDrawIndependentSamplesWithReplacement]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Bootstrap.ThreadsDrawIndependentSamplesWithReplacement]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Bootstrap.ThreadsDrawIndependentSamplesWithReplacement]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:184]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ForestPredict.NoTreesOrOneTree]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ForestPredict.NoTreesOrOneTree]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ForestPredict.NoTreesOrOneTree]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:202]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ForestPredict.EachRowGetsItsMajorityWithTiesBrokenPerRowAndCall]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ForestPredict.EachRowGetsItsMajorityWithTiesBrokenPerRowAndCall]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ForestPredict.EachRowGetsItsMajorityWithTiesBrokenPerRowAndCall]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:212]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GrowForest.NoTreesLookAtNothingAndAFailingTreeFailsTheForest]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GrowForest.NoTreesLookAtNothingAndAFailingTreeFailsTheForest]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GrowForest.NoTreesLookAtNothingAndAFailingTreeFailsTheForest]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_forest.cpp:241]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GeneralPath.TreesAreThePlainGrowthOfTheDocumentedRules]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GeneralPath.TreesAreThePlainGrowthOfTheDocumentedRules]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GeneralPath.TreesAreThePlainGrowthOfTheDocumentedRules]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_general.cpp:122]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Pruning.FollowsTheWeakestLinkLoopToTheLastBitAndSumsPrunedLeaves]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Pruning.FollowsTheWeakestLinkLoopToTheLastBitAndSumsPrunedLeaves]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Pruning.FollowsTheWeakestLinkLoopToTheLastBitAndSumsPrunedLeaves]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_general.cpp:219]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GrowTree.RefusesTrainingSetsAndSamplesItCannotUse]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GrowTree.RefusesTrainingSetsAndSamplesItCannotUse]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GrowTree.RefusesTrainingSetsAndSamplesItCannotUse]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_grow.cpp:31]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GrowTree.NeitherThreadsNorUnpackedEntriesChangeTheTree]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GrowTree.NeitherThreadsNorUnpackedEntriesChangeTheTree]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GrowTree.NeitherThreadsNorUnpackedEntriesChangeTheTree]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_grow.cpp:45]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GrowTree.FailsBeforeNodePositionsWouldWrap]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GrowTree.FailsBeforeNodePositionsWouldWrap]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GrowTree.FailsBeforeNodePositionsWouldWrap]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_grow.cpp:74]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GrowTree.DeepTreesNeedNoDeepStackAndDepthCountsFromTheGivenStart]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GrowTree.DeepTreesNeedNoDeepStackAndDepthCountsFromTheGivenStart]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GrowTree.DeepTreesNeedNoDeepStackAndDepthCountsFromTheGivenStart]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_grow.cpp:102]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[CopyStridedMatrix.YieldsTheLogicalContentsOfEveryLayout]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=CopyStridedMatrix.YieldsTheLogicalContentsOfEveryLayout]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[CopyStridedMatrix.YieldsTheLogicalContentsOfEveryLayout]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_input.cpp:30]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[CopyStrided.ReadsUnalignedDataAndOddStridesBitForBit]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=CopyStrided.ReadsUnalignedDataAndOddStridesBitForBit]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[CopyStrided.ReadsUnalignedDataAndOddStridesBitForBit]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_input.cpp:49]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[TrainingRowCount.IsNineTenthsRoundedDown]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=TrainingRowCount.IsNineTenthsRoundedDown]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[TrainingRowCount.IsNineTenthsRoundedDown]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_input.cpp:71]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[CutHoldout.TrainsOnTheFirstRowsAndHoldsOutTheRestAsViews]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=CutHoldout.TrainsOnTheFirstRowsAndHoldsOutTheRestAsViews]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[CutHoldout.TrainsOnTheFirstRowsAndHoldsOutTheRestAsViews]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_input.cpp:80]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[MedianTrack.FollowsTheSortedMedianOfGrowingShrinkingAndChangingSets]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=MedianTrack.FollowsTheSortedMedianOfGrowingShrinkingAndChangingSets]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[MedianTrack.FollowsTheSortedMedianOfGrowingShrinkingAndChangingSets]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_regression.cpp:74]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Sum2.CancelsWithoutLosingTheSmallTerms]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Sum2.CancelsWithoutLosingTheSmallTerms]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Sum2.CancelsWithoutLosingTheSmallTerms]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_regression.cpp:104]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[RegressionSearch.ChoosesThePlainLearnersSplitOnEveryCase]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=RegressionSearch.ChoosesThePlainLearnersSplitOnEveryCase]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[RegressionSearch.ChoosesThePlainLearnersSplitOnEveryCase]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_regression.cpp:179]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[RegressionGrowth.GrowsThePlainLearnersTreesWhateverTheThreads]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=RegressionGrowth.GrowsThePlainLearnersTreesWhateverTheThreads]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[RegressionGrowth.GrowsThePlainLearnersTreesWhateverTheThreads]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_regression_growth.cpp:60]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[RegressionForest.GrowsThePlainTreesOfItsSamplesAndKeepsThemThroughItsFormat]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=RegressionForest.GrowsThePlainTreesOfItsSamplesAndKeepsThemThroughItsFormat]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[RegressionForest.GrowsThePlainTreesOfItsSamplesAndKeepsThemThroughItsFormat]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_regression_growth.cpp:102]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[RegressionPruning.NodesKeepTheirOwnValues]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=RegressionPruning.NodesKeepTheirOwnValues]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[RegressionPruning.NodesKeepTheirOwnValues]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_regression_growth.cpp:173]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[GainProxy.ExactGainAndTableSumsStayWithinTheirBoundsOfTheRealGain]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=GainProxy.ExactGainAndTableSumsStayWithinTheirBoundsOfTheRealGain]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[GainProxy.ExactGainAndTableSumsStayWithinTheirBoundsOfTheRealGain]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_screening.cpp:123]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[RepeatedSum.MatchesAddingOneTermAtATime]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=RepeatedSum.MatchesAddingOneTermAtATime]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[RepeatedSum.MatchesAddingOneTermAtATime]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_screening.cpp:159]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[OrderedSum.MatchesAddingOneTermAtATime]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=OrderedSum.MatchesAddingOneTermAtATime]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[OrderedSum.MatchesAddingOneTermAtATime]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_screening.cpp:189]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ScreenedSweep.NeverPassesOverTheExactWinner]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ScreenedSweep.NeverPassesOverTheExactWinner]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ScreenedSweep.NeverPassesOverTheExactWinner]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_screening.cpp:291]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ScreenedSweep.EveryLabelDistinctAtTheTableLimits]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ScreenedSweep.EveryLabelDistinctAtTheTableLimits]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ScreenedSweep.EveryLabelDistinctAtTheTableLimits]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_screening.cpp:315]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ScreenedSweep.FeaturesSharingTheirBestChooseAsTheExactSweeps]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ScreenedSweep.FeaturesSharingTheirBestChooseAsTheExactSweeps]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ScreenedSweep.FeaturesSharingTheirBestChooseAsTheExactSweeps]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_screening.cpp:339]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ScreenedSweep.KeepsCandidatesThatRoundingPrefers]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ScreenedSweep.KeepsCandidatesThatRoundingPrefers]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ScreenedSweep.KeepsCandidatesThatRoundingPrefers]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_screening.cpp:378]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Sparse.TreesOfStoredValuesAreTheTreesOfTheDenseMatrix]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Sparse.TreesOfStoredValuesAreTheTreesOfTheDenseMatrix]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Sparse.TreesOfStoredValuesAreTheTreesOfTheDenseMatrix]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_sparse.cpp:63]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Sparse.ForestsAndPredictionsOfStoredValuesAreThoseOfTheDenseMatrix]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Sparse.ForestsAndPredictionsOfStoredValuesAreThoseOfTheDenseMatrix]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Sparse.ForestsAndPredictionsOfStoredValuesAreThoseOfTheDenseMatrix]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_sparse.cpp:122]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[Check.FailureCarriesMessageAndSiteAndReportsThemOnStderr]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=Check.FailureCarriesMessageAndSiteAndReportsThemOnStderr]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Check.FailureCarriesMessageAndSiteAndReportsThemOnStderr]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:33]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[LineWriter.WritesCompleteLinesAndHoldsTheRestUntilFlushed]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=LineWriter.WritesCompleteLinesAndHoldsTheRestUntilFlushed]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[LineWriter.WritesCompleteLinesAndHoldsTheRestUntilFlushed]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:63]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[ClassificationReport.PrintsTheFiveLines]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=ClassificationReport.PrintsTheFiveLines]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[ClassificationReport.PrintsTheFiveLines]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:90]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[FormatScore.ShortestRoundTripInPositionalNotation]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=FormatScore.ShortestRoundTripInPositionalNotation]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[FormatScore.ShortestRoundTripInPositionalNotation]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:122]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[SharedThreads.HandlesOfOneOrManyCallersShareOneSetWithinTheirCaps]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=SharedThreads.HandlesOfOneOrManyCallersShareOneSetWithinTheirCaps]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[SharedThreads.HandlesOfOneOrManyCallersShareOneSetWithinTheirCaps]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:150]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[RunPolling.PollsWhileTheWorkRunsOnAnotherThreadAndHandsBackItsOutcome]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=RunPolling.PollsWhileTheWorkRunsOnAnotherThreadAndHandsBackItsOutcome]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[RunPolling.PollsWhileTheWorkRunsOnAnotherThreadAndHandsBackItsOutcome]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:179]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[WorkerPool.UsesMoreThanOneThreadWhenItHasThem]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=WorkerPool.UsesMoreThanOneThreadWhenItHasThem]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[WorkerPool.UsesMoreThanOneThreadWhenItHasThem]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:211]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[WorkerPool.RethrowsTheLowestFailedIndexAfterEveryStartedIndexEnds]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=WorkerPool.RethrowsTheLowestFailedIndexAfterEveryStartedIndexEnds]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[WorkerPool.RethrowsTheLowestFailedIndexAfterEveryStartedIndexEnds]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:229]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[HardwareThreads.CountsOnlyTheCpusThisProcessMayRunOn]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=HardwareThreads.CountsOnlyTheCpusThisProcessMayRunOn]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[HardwareThreads.CountsOnlyTheCpusThisProcessMayRunOn]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_support.cpp:247]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <01-00 00-00 00-00 00-00 05-00 00-00 00-00 00-00 02-00 00-00 FF-FF FF-FF 00-00 00-9D 0A-00 00-C5>]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=TreesAndForests/ContributionsMatchShapley.OnEveryRow/0]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <01-00 00-00 00-00 00-00 05-00 00-00 00-00 00-00 02-00 00-00 FF-FF FF-FF 00-00 00-9D 0A-00 00-C5>]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:114]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <01-00 00-00 00-00 00-00 06-00 00-00 00-00 00-00 03-00 00-00 04-00 00-00 00-00 00-00 00-00 00-00>]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=TreesAndForests/ContributionsMatchShapley.OnEveryRow/1]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <01-00 00-00 00-00 00-00 06-00 00-00 00-00 00-00 03-00 00-00 04-00 00-00 00-00 00-00 00-00 00-00>]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:114]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <03-00 00-00 00-00 00-00 04-00 00-00 00-00 00-00 02-00 00-00 FF-FF FF-FF 01-70 5F-74 65-73 74-73>]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=TreesAndForests/ContributionsMatchShapley.OnEveryRow/2]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <03-00 00-00 00-00 00-00 04-00 00-00 00-00 00-00 02-00 00-00 FF-FF FF-FF 01-70 5F-74 65-73 74-73>]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:114]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <02-00 00-00 00-00 00-00 05-00 00-00 00-00 00-00 0B-00 00-00 FF-FF FF-FF 00-00 00-00 00-00 00-00>]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=TreesAndForests/ContributionsMatchShapley.OnEveryRow/3]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <02-00 00-00 00-00 00-00 05-00 00-00 00-00 00-00 0B-00 00-00 FF-FF FF-FF 00-00 00-00 00-00 00-00>]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:114]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
add_test([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <02-00 00-00 00-00 00-00 03-00 00-00 00-00 00-00 01-00 00-00 FF-FF FF-FF 01-00 00-00 00-00 00-00>]=]  /work/wt/lead/build-tests/lindorf_cpp_tests [==[--gtest_filter=TreesAndForests/ContributionsMatchShapley.OnEveryRow/4]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <02-00 00-00 00-00 00-00 03-00 00-00 00-00 00-00 01-00 00-00 FF-FF FF-FF 01-00 00-00 00-00 00-00>]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[tests/cpp/test_explain.cpp:114]==]
    WORKING_DIRECTORY [==[/work/wt/lead/build-tests]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
set(lindorf_cpp_tests_TESTS [==[Differential.CriteriaAndSearchRulesMatchPlainScoring]==] [==[Differential.GrownTreesMatchPlainGrowthNodeForNode]==] [==[Differential.ForestTreesAreThePlainGrowthOfTheirBootstrapSamplesInIndexOrder]==] [==[Split.RoutesStrictlyBelowTheThresholdLeft]==] [==[Split.ChecksOnlyWhatItReads]==] [==[SortEntries.OrdersLikeLessThanWithNaNLastAndStableTies]==] [==[KeyedStreams.NonceZeroIsTheCoreGeneratorAndEveryPurposeHasItsOwnStream]==] [==[WeightedRows.GrowTheTreeOfTheirRowsRepeatedInPlace]==] [==[ForestChunks.MatchTheWholeForestAndThePlainGrowthOfTheirWeightedDrawsAndVoteOutOfBag]==] [==[WideRows.NodesThatSortTheirOwnFeaturesGrowTheSameTrees]==] [==[FeatureDraws.CountOnlyFeaturesThatCanDivideTheNodeAndFollowTheKey]==] [==[NodeStats.AManyClassDeepTreeKeepsOneCountPerRow]==] [==[Importances.AreTheNormalisedImpurityDecreasesAndForestsAverageSplittingTrees]==] [==[ModelFormat.RoundTripKeepsEveryTreeAndTheMetadata]==] [==[ModelFormat.EveryTruncationIsRefusedAndTellsHowFarTheModelReaches]==] [==[ModelFormat.EveryFlippedBitIsRefused]==] [==[ModelFormat.AlteredIndicesAreRefusedEvenWithAValidChecksum]==] [==[PreparedWalks.PredictWhatWalksMadeForTheCallPredict]==] [==[Contributions.AStopRequestEndsTheWalks]==] [==[GaussLegendre.IntegratesEveryPolynomialOfDegreeBelowTwiceItsPoints]==] [==[NodeValues.FollowTheRowsRoutedThroughTheTree]==] [==[ChaCha.MatchesPublishedVectors]==] [==[ChaChaRng.TakesANewKeyAfterEvery64KiBAndGoesOnWhenNoneComes]==] [==[ChaChaRng.ForkedChildTakesANewKeyMidBlock]==] [==[Draw.IndexIsTheHighHalfAndOutputsPastTheRejectionZoneAreReplaced]==] [==[SampleSize.RoundsThroughSinglePrecision]==] [==[Bootstrap.MatchesAnIndependentlyComputedStreamAfterRefusingUnusableRowCounts]==] [==[Bootstrap.ThreadsDrawIndependentSamplesWithReplacement]==] [==[ForestPredict.NoTreesOrOneTree]==] [==[ForestPredict.EachRowGetsItsMajorityWithTiesBrokenPerRowAndCall]==] [==[GrowForest.NoTreesLookAtNothingAndAFailingTreeFailsTheForest]==] [==[GeneralPath.TreesAreThePlainGrowthOfTheDocumentedRules]==] [==[Pruning.FollowsTheWeakestLinkLoopToTheLastBitAndSumsPrunedLeaves]==] [==[GrowTree.RefusesTrainingSetsAndSamplesItCannotUse]==] [==[GrowTree.NeitherThreadsNorUnpackedEntriesChangeTheTree]==] [==[GrowTree.FailsBeforeNodePositionsWouldWrap]==] [==[GrowTree.DeepTreesNeedNoDeepStackAndDepthCountsFromTheGivenStart]==] [==[CopyStridedMatrix.YieldsTheLogicalContentsOfEveryLayout]==] [==[CopyStrided.ReadsUnalignedDataAndOddStridesBitForBit]==] [==[TrainingRowCount.IsNineTenthsRoundedDown]==] [==[CutHoldout.TrainsOnTheFirstRowsAndHoldsOutTheRestAsViews]==] [==[MedianTrack.FollowsTheSortedMedianOfGrowingShrinkingAndChangingSets]==] [==[Sum2.CancelsWithoutLosingTheSmallTerms]==] [==[RegressionSearch.ChoosesThePlainLearnersSplitOnEveryCase]==] [==[RegressionGrowth.GrowsThePlainLearnersTreesWhateverTheThreads]==] [==[RegressionForest.GrowsThePlainTreesOfItsSamplesAndKeepsThemThroughItsFormat]==] [==[RegressionPruning.NodesKeepTheirOwnValues]==] [==[GainProxy.ExactGainAndTableSumsStayWithinTheirBoundsOfTheRealGain]==] [==[RepeatedSum.MatchesAddingOneTermAtATime]==] [==[OrderedSum.MatchesAddingOneTermAtATime]==] [==[ScreenedSweep.NeverPassesOverTheExactWinner]==] [==[ScreenedSweep.EveryLabelDistinctAtTheTableLimits]==] [==[ScreenedSweep.FeaturesSharingTheirBestChooseAsTheExactSweeps]==] [==[ScreenedSweep.KeepsCandidatesThatRoundingPrefers]==] [==[Sparse.TreesOfStoredValuesAreTheTreesOfTheDenseMatrix]==] [==[Sparse.ForestsAndPredictionsOfStoredValuesAreThoseOfTheDenseMatrix]==] [==[Check.FailureCarriesMessageAndSiteAndReportsThemOnStderr]==] [==[LineWriter.WritesCompleteLinesAndHoldsTheRestUntilFlushed]==] [==[ClassificationReport.PrintsTheFiveLines]==] [==[FormatScore.ShortestRoundTripInPositionalNotation]==] [==[SharedThreads.HandlesOfOneOrManyCallersShareOneSetWithinTheirCaps]==] [==[RunPolling.PollsWhileTheWorkRunsOnAnotherThreadAndHandsBackItsOutcome]==] [==[WorkerPool.UsesMoreThanOneThreadWhenItHasThem]==] [==[WorkerPool.RethrowsTheLowestFailedIndexAfterEveryStartedIndexEnds]==] [==[HardwareThreads.CountsOnlyTheCpusThisProcessMayRunOn]==] [==[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <01-00 00-00 00-00 00-00 05-00 00-00 00-00 00-00 02-00 00-00 FF-FF FF-FF 00-00 00-9D 0A-00 00-C5>]==] [==[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <01-00 00-00 00-00 00-00 06-00 00-00 00-00 00-00 03-00 00-00 04-00 00-00 00-00 00-00 00-00 00-00>]==] [==[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <03-00 00-00 00-00 00-00 04-00 00-00 00-00 00-00 02-00 00-00 FF-FF FF-FF 01-70 5F-74 65-73 74-73>]==] [==[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <02-00 00-00 00-00 00-00 05-00 00-00 00-00 00-00 0B-00 00-00 FF-FF FF-FF 00-00 00-00 00-00 00-00>]==] [==[TreesAndForests/ContributionsMatchShapley.OnEveryRow/32-byte object <02-00 00-00 00-00 00-00 03-00 00-00 00-00 00-00 01-00 00-00 FF-FF FF-FF 01-00 00-00 00-00 00-00>]==])
