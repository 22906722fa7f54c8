# Sourced by the bench scripts: which CPU the master runs on and which the busy-polling
# ecsim takes, so the two do not share a core where there are two. Sets master_cpu,
# segment_cpu and pin_note (said in the bench's heading).
if [ "$(nproc)" -ge 2 ]; then
  master_cpu=0
  segment_cpu=1
  pin_note="master on CPU $master_cpu, ecsim on CPU $segment_cpu"
else
  master_cpu=0
  segment_cpu=0
  pin_note="one CPU only: master and ecsim share it, figures are pessimistic"
fi
