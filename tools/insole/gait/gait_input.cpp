#include "insole/gait/gait_input.h"

namespace insole {

tvis::gait::FootInput GaitInput::view(int foot) const {
  const GaitFootSamples& f = feet[foot];
  tvis::gait::FootInput in;
  in.time_s = f.time_s;
  in.load = f.load;
  in.sensors = f.sensors;
  in.sensor_count = f.sensor_count;
  in.places = f.places;
  in.regions = f.regions;
  in.gap_before = f.gap_before;
  in.centre_x = f.centre_x;
  in.centre_y = f.centre_y;
  return in;
}

}  // namespace insole
