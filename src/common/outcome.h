// What a job reports to the front end, which maps it to the exit status.
#pragma once

enum class Outcome {
  Success,  // the job did what was asked
  Failure,  // the job ran and failed, or refused its input
};
