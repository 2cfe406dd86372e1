#!/bin/sh
# Gathers the result files of a finished velkor Job (velkor-job.yaml) from its
# pods' logs: the pod of completion index K-1 gives DIR/agent-K.json.
#   velkor-gather.sh JOB DIR     then: velkor-report DIR/*.json
set -eu

fail() {
  echo "velkor-gather.sh: $*" >&2
  exit 1
}

[ $# -eq 2 ] || fail "usage: velkor-gather.sh JOB DIR"
job=$1
folder=$2
mkdir -p "$folder" || fail "cannot create \"$folder\""
pods=$(kubectl get pods --selector "job-name=$job" --output \
  'jsonpath={range .items[*]}{.metadata.annotations.batch\.kubernetes\.io/job-completion-index} {.metadata.name}{"\n"}{end}') ||
  fail "cannot list the pods of job $job"
[ -n "$pods" ] || fail "job $job has no pods"

echo "$pods" | while read -r index pod; do
  case $index in
    '' | *[!0-9]*) fail "pod $pod has no completion index: is $job an Indexed Job?" ;;
  esac
  file=$folder/agent-$((index + 1)).json
  kubectl logs "$pod" | sed -n '/^velkor result file:$/{n;p;}' >"$file"
  [ -s "$file" ] || fail "pod $pod (index $index) printed no result file; its log: kubectl logs $pod"
  echo "$pod: $file"
done
