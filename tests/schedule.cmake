# SPDX-License-Identifier: BSD-2-Clause
# Read by ctest once the cases are discovered.  ctest -j starts the costly
# tests first; on a fresh build it knows no test's cost, and starts them
# in the order they were found, so the cases that wait out the program's
# real minute began a minute or so in and the suite took 100 s, not 60.
# Each pattern must still name a case, or the suite would slow again
# unseen.
set(costs
  60 "^Outputs/Demonstration\\."
  60 "^Watch\\.ShowsTheLifecycleAsItHappens$"
  60 "^Zombie\\.InheritedIgnoredSigchldMeansNoZombie$"
  60 "^Reaper\\.PlainZombieStaysUnderAnInitThatNeverCollects$"
  60 "^Reaper\\.StaticProgramsRunInAnEmptyRoot$"
  30 "^Zombie\\.ChildOfAKilledParentIsAdoptedAndExitsCleanly$"
  # Storms: short alone, long on a machine the other cases load.
  30 "^Watch\\.SaysWhenTheKernelLostRecords$"
  30 "^End\\.EveryWayAWatchEndsIsItsLastJsonLine$"
  20 "^Watch\\.ReportsWhatWentWrong$")
while(costs)
  list(POP_FRONT costs cost pattern)
  set(found FALSE)
  foreach(t IN LISTS zombie_test_TESTS)
    if(t MATCHES "${pattern}")
      set_tests_properties("${t}" PROPERTIES COST ${cost})
      set(found TRUE)
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "no test matches ${pattern}")
  endif()
endwhile()
