#!/usr/bin/env bash
# The cohort workflow through a real Slurm: starts a single-node Slurm
# (slurmctld, slurmd and their own munged, on free ports, all state in a
# temporary folder), simulates six small scans, runs the workflow locally
# and through Slurm, checks that both wrote the same bytes (DICOM series
# aside: their UIDs are new in every run) and that a rerun after one scan's
# outputs are deleted redoes that scan only, and stops everything it started.
#
#   tests/cluster/slurm.sh [BUILD]      (as root; installs slurm-wlm and munge when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
say() { echo "slurm.sh: $*"; }
fail() { echo "slurm.sh: FAILED: $*" >&2; exit 1; }

[[ -x $build/cbrecon && -f $build/python/cbrecon/__init__.py ]] ||
  fail "no cbrecon and Python module in $build (run make build first)"
if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null || ! command -v snakemake >/dev/null; then
  [[ $(id -u) -eq 0 ]] || fail "slurm-wlm, munge and snakemake are missing and only root can install them"
  say "installing slurm-wlm, munge and snakemake"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends slurm-wlm munge snakemake >/dev/null ||
    fail "apt-get could not install slurm-wlm, munge and snakemake"
fi
[[ $(id -u) -eq 0 ]] || fail "Slurm's daemons are started as root; run this as root"

tmp=$(mktemp -d /tmp/cbrecon-slurm.XXXXXX)
export SLURM_CONF=$tmp/slurm.conf
py=/usr/bin/python3
stop_pid() {  # the daemon whose pid file is $1, with a bounded wait
  [[ -s $1 ]] || return 0
  local pid; pid=$(cat "$1")
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
}
cleanup() {
  local status=$?
  set +e
  if [[ -s $tmp/slurmctld.pid ]]; then timeout 10 scancel --full --quiet -p cbrecon 2>/dev/null; fi
  stop_pid "$tmp/slurmd.pid"
  stop_pid "$tmp/slurmctld.pid"
  stop_pid "$tmp/munge/munged.pid"
  [[ $status -ne 0 && -d $tmp/log ]] && tail -n 5 "$tmp"/log/*.log >&2
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$tmp"/{munge,state,spool,log}
chmod 711 "$tmp/munge"
head -c 1024 /dev/urandom >"$tmp/munge/munge.key"
chmod 400 "$tmp/munge/munge.key"
munged --force -S "$tmp/munge/sock" --key-file="$tmp/munge/munge.key" --log-file="$tmp/log/munged.log" \
  --pid-file="$tmp/munge/munged.pid" --seed-file="$tmp/munge/seed" || fail "munged could not start"
ok=""
for _ in $(seq 50); do
  if munge -n -S "$tmp/munge/sock" 2>/dev/null | unmunge -S "$tmp/munge/sock" >/dev/null 2>&1; then ok=1; break; fi
  sleep 0.1
done
[[ -n $ok ]] || fail "munged does not answer on $tmp/munge/sock"

# Two free ports, a node of this machine's cores and three quarters of its memory.
read -r port1 port2 < <($py -c "
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(('127.0.0.1', 0))
print(*[x.getsockname()[1] for x in s])")
host=$(hostname -s)
mem=$(($(awk '/MemTotal/ {print $2}' /proc/meminfo) / 1024 * 3 / 4))
cat >"$SLURM_CONF" <<CONF
ClusterName=cbrecontest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port1
SlurmdPort=$port2
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$tmp/munge/sock
CredType=cred/munge
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/log/slurmctld.log
SlurmdLogFile=$tmp/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
MpiDefault=none
MinJobAge=600
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=$mem State=UNKNOWN
PartitionName=cbrecon Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld -c || fail "slurmctld could not start (see above)"
slurmd || fail "slurmd could not start"
state=""
for _ in $(seq 60); do
  state=$(timeout 5 sinfo -h -o %T 2>/dev/null || true)
  [[ $state == idle ]] && break
  sleep 0.5
done
[[ $state == idle ]] || fail "Slurm did not come up within 30 s (node state: '${state:-none}')"
say "Slurm is up (ports $port1, $port2)"

export PYTHONPATH=$build/python
$py "$root/workflow/scripts/simulate_cohort.py" "$tmp/scans" 6 --cols 64 --rows 48 --views 100 >/dev/null
config() {  # config file for results folder $1
  cat <<CONF
scans: $tmp/scans
results: $1
cbrecon: $build/cbrecon
python_path: $build/python
prior_image: true
formats: [nii.gz]
hu_water: 180
recon: {detector_columns: 64, detector_rows: 48, pixels: 32, fov: 20.0, slice_thickness: 0.5}
slurm: {partition: cbrecon, time: "10"}
CONF
}
config "$tmp/local" >"$tmp/local.yaml"
config "$tmp/slurm" >"$tmp/slurm.yaml"
snake() {
  local status=0
  (cd "$tmp" && timeout "$1" snakemake -s "$root/workflow/Snakefile" --configfile "$2" "${@:3}" \
     >"$tmp/log/snakemake.out" 2>&1) || status=$?
  [[ $status -eq 0 ]] || { tail -n 30 "$tmp/log/snakemake.out" >&2; fail "snakemake ($2 ${*:3}) ended with status $status"; }
}
t0=$(date +%s.%N)
snake 300 "$tmp/local.yaml" --cores 2
t1=$(date +%s.%N)
snake 600 "$tmp/slurm.yaml" --profile "$root/workflow/profiles/slurm"
t2=$(date +%s.%N)
say "local run $(echo "$t1 - $t0" | bc) s, Slurm run $(echo "$t2 - $t1" | bc) s"

# Every job done in both, the same files with the same bytes.
for r in local slurm; do
  bad=$(awk -F'\t' 'NR > 1 && $7 != "ok"' "$tmp/$r/cohort_summary.tsv")
  [[ -z $bad ]] || fail "$r run: jobs not done: $bad"
done
jobs=$(($(wc -l <"$tmp/local/cohort_summary.tsv") - 1))
[[ $jobs -eq 12 ]] || fail "expected 12 jobs (6 scans x 3-D, 3 x bins, 3 x prior-image bins), got $jobs"
outputs() { (cd "$1" && find . -type f ! -name '*.json' ! -name 'cbrecon.log' ! -name 'cbrecon.err' \
                          ! -path './slurm_logs/*' ! -path '*_dicom/*' ! -name cohort_summary.tsv | sort); }
outputs "$tmp/local" >"$tmp/local.list"
outputs "$tmp/slurm" >"$tmp/slurm.list"
cmp -s "$tmp/local.list" "$tmp/slurm.list" || fail "the two runs wrote different files: $(diff "$tmp/local.list" "$tmp/slurm.list" | head -5)"
n=0
while read -r f; do
  cmp -s "$tmp/local/$f" "$tmp/slurm/$f" || fail "$f differs between the local and the Slurm run"
  n=$((n + 1))
done <"$tmp/local.list"
(cd "$tmp/local" && find . -path '*_dicom/*' | sort) >"$tmp/local.dcm"
(cd "$tmp/slurm" && find . -path '*_dicom/*' | sort) | cmp -s - "$tmp/local.dcm" || fail "the DICOM series differ in their files"
say "$n files byte for byte equal, $(wc -l <"$tmp/local.dcm") DICOM slices in the same series"

# Deleting one scan's outputs redoes that scan only.
rm -rf "$tmp/slurm/p3"
snake 60 "$tmp/slurm.yaml" --profile "$root/workflow/profiles/slurm" -n
redo=$(grep -c '^rule reconstruct:' "$tmp/log/snakemake.out" || true)
grep -q 'wildcards: scan=p3' "$tmp/log/snakemake.out" && ! grep -v 'scan=p3' "$tmp/log/snakemake.out" | grep -q 'wildcards: scan=' ||
  fail "a rerun after deleting p3 would redo other scans"
[[ $redo -eq 3 ]] || fail "a rerun after deleting p3 would run $redo jobs, not p3's 3"
snake 300 "$tmp/slurm.yaml" --profile "$root/workflow/profiles/slurm"
for f in $(grep '^\./p3/' "$tmp/local.list"); do
  cmp -s "$tmp/local/$f" "$tmp/slurm/$f" || fail "$f differs after the rerun"
done
say "rerun after deleting p3 redid its 3 jobs only"
say "passed"
