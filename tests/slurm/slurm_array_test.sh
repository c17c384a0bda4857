#!/usr/bin/env bash
# The cluster scripts under a real Slurm.
#
# Usage: slurm_array_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR
#
# Brings up a single-node Slurm cluster of its own (munged, slurmctld and
# slurmd with their configuration, state, sockets and logs in a scratch
# directory, on free ports), lays out a scratch project with the shipped
# scripts, submits a small seeded run with scripts/slurm_array.sh from another
# directory, stops one task with SIGTERM mid-run and requeues it, waits for
# the run (capped), merges with scripts/merge_pieces.sh and compares the
# result with the one-piece run. The node has its real CPU count
# and little memory, and MaxArraySize is 3, so the run takes two arrays and a
# request the node cannot meet fails at submission. Stops the daemons it
# started, by process id, whatever the outcome. Exits 77 (skipped) when not
# root or when the Slurm, munge or jq programs are not installed.
set -u

program=${1:?usage: slurm_array_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
source_dir=${2:?usage: slurm_array_test.sh QUARNEL_PROGRAM PROJECT_SOURCE_DIR}
seed=20261208
total=70
piece=20   # four pieces: 20, 20, 20 and 10 repetitions
source "$source_dir/tests/support/check.sh"

skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "starting slurmd needs root"
for c in munged slurmctld slurmd sbatch squeue scontrol scancel jq; do
  command -v "$c" > /dev/null ||
    skip "$c is not installed (scripts/test.sh installs slurmctld slurmd slurm-client munge, scripts/setup.sh jq)"
done

started=$(date +%s)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/slurm_array_test.XXXXXX")
# munged refuses a socket whose directory, or one above it, others cannot enter.
chmod 755 "$scratch"
daemons=()  # "name pid", in start order

stop_daemons() {
  if ((${#daemons[@]} >= 2)); then
    # No job may outlive the cluster: cancel them and let the steps end.
    local jobs
    jobs=$(squeue -h -o %F 2> /dev/null | sort -u)
    [ -n "$jobs" ] && scancel --quiet $jobs 2> /dev/null
    for _ in $(seq 30); do
      [ -z "$(squeue -h -o %F 2> /dev/null)" ] && break
      sleep 1
    done
  fi
  local i name pid
  for ((i = ${#daemons[@]} - 1; i >= 0; i--)); do
    read -r name pid <<< "${daemons[i]}"
    kill -TERM "$pid" 2> /dev/null
    for _ in $(seq 20); do
      kill -0 "$pid" 2> /dev/null || break
      sleep 0.5
    done
    kill -KILL "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
  done
  daemons=()
}
finish() {
  stop_daemons
  rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 1' INT TERM

show_logs() {
  local f
  for f in "$scratch"/log/*; do
    echo "---- $f"
    tail -n 20 "$f"
  done
}
fail_setup() {
  echo "FAILED  $*"
  show_logs
  exit 1
}

# start NAME COMMAND...: runs a daemon in the foreground of a background job,
# capped so that it cannot outlive a test killed before its trap ran.
start() {
  local name=$1
  shift
  timeout 900 "$@" > "$scratch/log/$name.out" 2>&1 &
  daemons+=("$name $!")
}

port_free() { ! (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }
pick_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 30000))
    port_free "$p" && port_free "$((p + 1))" && break
  done
  echo "$p"
}

mkdir -m 755 "$scratch/munge" "$scratch/log" "$scratch/state" "$scratch/spool"

# munge, with a key of its own
head -c 1024 /dev/urandom > "$scratch/munge/munge.key"
chmod 400 "$scratch/munge/munge.key"
start munged munged -F --key-file="$scratch/munge/munge.key" \
  --socket="$scratch/munge/munge.socket" --log-file="$scratch/log/munged.log" \
  --pid-file="$scratch/munge/munged.pid" --seed-file="$scratch/munge/munged.seed"
for _ in $(seq 50); do
  [ -S "$scratch/munge/munge.socket" ] && break
  sleep 0.2
done
[ -S "$scratch/munge/munge.socket" ] || fail_setup "munged did not start"

host=$(hostname -s)
cpus=$(nproc)
port=$(pick_port)
export SLURM_CONF="$scratch/slurm.conf"
cat > "$SLURM_CONF" << EOF
ClusterName=quarneltest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$scratch/munge/munge.socket
StateSaveLocation=$scratch/state
SlurmdSpoolDir=$scratch/spool
SlurmctldPidFile=$scratch/slurmctld.pid
SlurmdPidFile=$scratch/slurmd.pid
SlurmctldLogFile=$scratch/log/slurmctld.log
SlurmdLogFile=$scratch/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc=$scratch/log/jobcomp.txt
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
DefMemPerCPU=100
EnforcePartLimits=ALL
MaxArraySize=3
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=500 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=10 State=UP
EOF
start slurmctld slurmctld -D -i
start slurmd slurmd -D
for _ in $(seq 60); do
  [ "$(sinfo -h -o %T 2> /dev/null)" = idle ] && break
  sleep 0.5
done
[ "$(sinfo -h -o %T 2> /dev/null)" = idle ] || fail_setup "the node did not become idle"
echo "cluster up after $(($(date +%s) - started)) s"

# A scratch project: the program, the tables and the shipped scripts.
proj="$scratch/project"
mkdir -p "$proj/executables" "$proj/data" "$proj/results" "$proj/scripts"
cp "$program" "$proj/executables/quarnel"
cp "$source_dir"/data/*.txt "$proj/data/"
cp "$source_dir"/scripts/slurm_array.sh "$source_dir"/scripts/merge_pieces.sh "$proj/scripts/"

(cd "$proj/executables" &&
  OMP_NUM_THREADS=2 ./quarnel -n "$total" -s "$seed" -o one.csv --no-postprocess > /dev/null) ||
  fail_setup "the one-piece run failed"

# Submitted from elsewhere, as the README shows.
(cd / && bash "$proj/scripts/slurm_array.sh" quarnel "$seed" "$total" "$piece" --time=5) \
  > "$scratch/submit.out" 2>&1
check "submission succeeds" [ $? -eq 0 ]
cat "$scratch/submit.out"
check "two arrays under MaxArraySize 3" [ "$(grep -c '^submitted job' "$scratch/submit.out")" -eq 2 ]

# Piece 0, stopped once its journal holds a row, then requeued, resumes.
job=$(awk '/^submitted job/ { print $3; exit }' "$scratch/submit.out")
job=${job%:}
journal="$proj/results/inequality.piece-00000.csv.journal"
meta="$proj/results/inequality.piece-00000.json"
for _ in $(seq 600); do
  [ -f "$journal" ] && [ "$(wc -l < "$journal")" -ge 2 ] && break
  sleep 0.1
done
scancel --signal=TERM --full "${job}_0"
for _ in $(seq 300); do
  [ -f "$meta" ] && break
  sleep 0.1
done
check "the stopped task saved its rows" \
  [ "$(jq -r '"\(.status) \(.repetitions_done < 20)"' "$meta" 2> /dev/null)" = "interrupted true" ]
for _ in $(seq 100); do
  scontrol requeue "${job}_0" 2> /dev/null && break
  sleep 0.2
done
# Slurm holds a requeued job back for the credential lifetime (two minutes).
# Released at once, it may be launched within the second its first run was
# killed in, and slurmd, which revokes credentials by the second, refuses it
# ("already killed, do not launch batch job"): release it two seconds on.
sleep 2
scontrol update JobId="${job}_0" StartTime=now 2> /dev/null

for _ in $(seq 240); do
  [ -z "$(squeue -h -o %i)" ] && break
  sleep 0.5
done
check "every task ends within two minutes" [ -z "$(squeue -h -o %i)" ]
check "four tasks named quarnel completed" \
  [ "$(grep 'Name=quarnel JobState=COMPLETED' "$scratch/log/jobcomp.txt" | grep -o 'ArrayJobId=[0-9]* ArrayTaskId=[0-9]*' | sort -u | wc -l)" -eq 4 ]
check "the requeued task resumed from its journal" \
  [ "$(jq -r '"\(.status) \(.resumed_rows > 0)"' "$meta")" = "complete true" ]
check "four task logs in slurm-logs/" [ "$(ls "$proj/slurm-logs" | grep -c '^quarnel-.*\.out$')" -eq 4 ]

bash "$proj/scripts/merge_pieces.sh" quarnel "$total" "$piece"
check "merge succeeds" [ $? -eq 0 ]
check "merged file equals the one-piece run" \
  cmp "$proj/results/inequality.csv" "$proj/results/one.csv"
check "merged file has the one-piece run's mode" \
  [ "$(stat -c %a "$proj/results/inequality.csv")" = "$(stat -c %a "$proj/results/one.csv")" ]

# The node has $cpus CPUs and 500 MB: a larger request fails at submission.
refused() { ! "$@"; }
check "a request the node cannot meet is refused" \
  refused sbatch --array=0 --cpus-per-task=$((cpus + 1)) --chdir="$proj" \
  --export=ALL,SEED=1,TOTAL=1,PIECE=1 "$proj/scripts/slurm_array.sh" 2> /dev/null

((failed == 0)) || show_logs
echo "took $(($(date +%s) - started)) s"
check_summary
