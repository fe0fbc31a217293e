# Stage times for the long scripts, for their logs (CI's included).
#   . "$(dirname "$0")/stages.sh"
#   stage "build (normal)"      ends the stage before, printing its time
#   stages_summary "test"       ends the last stage and lists them all
stage_names=()
stage_secs=()
stage_current=""
stage_started=$SECONDS
stages_started=$SECONDS

stage_end() {
  [ -n "$stage_current" ] || return 0
  local took=$((SECONDS - stage_started))
  stage_names+=("$stage_current")
  stage_secs+=("$took")
  printf '== %s: %d s\n' "$stage_current" "$took"
  stage_current=""
}

stage() {
  stage_end
  stage_current=$1
  stage_started=$SECONDS
  printf '== %s\n' "$1"
}

stages_summary() {
  stage_end
  local i
  printf '== %s: stage times\n' "$1"
  for i in "${!stage_names[@]}"; do
    printf '   %6d s  %s\n' "${stage_secs[i]}" "${stage_names[i]}"
  done
  printf '   %6d s  in all\n' "$((SECONDS - stages_started))"
}
