#!/usr/bin/env cwl-runner
# karvel convert as a CWL tool: MassHunter data folders in, one indexed mzML
# (or Parquet, or JSON metadata) file per run out, named after the run.
#
#   cwltool karvel-convert.cwl --runs sample.d --to mzml
#
# The command must be on PATH (pip install karvel); the tool runs it without
# a container (cwltool --no-container). The job fails when any run fails to
# convert; the runs that did convert are still written.
cwlVersion: v1.2
class: CommandLineTool
label: karvel convert
doc: Convert MassHunter .d data folders to indexed mzML, Parquet or JSON metadata.

baseCommand: [karvel, convert]
arguments:
  - prefix: --output
    valueFrom: $(runtime.outdir)

inputs:
  runs:
    type: Directory[]
    doc: The .d data folders.
    inputBinding:
      position: 1
  to:
    type:
      - "null"
      - type: enum
        symbols: [mzml, parquet]
    doc: Output format (default mzml).
    inputBinding:
      prefix: --to
  ms_level:
    type: string?
    doc: Keep these MS levels only, comma-separated (e.g. "1,2").
    inputBinding:
      prefix: --ms-level
  rt:
    type: string?
    doc: Keep spectra whose retention time in seconds lies within LOW:HIGH.
    inputBinding:
      prefix: --rt
  centroid:
    type:
      - "null"
      - type: enum
        symbols: [pick, pick-all, stored]
    doc: >-
      Centroided peaks: pick (the run's stored centroids where present, every
      other profile picked), pick-all (every profile picked) or stored (stored
      centroids where present, profiles elsewhere).
    inputBinding:
      prefix: --centroid
  centroid_ms_levels:
    type: string?
    doc: The MS levels the centroid mode applies to (e.g. "1-", "2", "1-2").
    inputBinding:
      prefix: --centroid-ms-levels
  strict:
    type: boolean?
    doc: Fail a run in which the reader meets any problem it would otherwise work around and warn about.
    inputBinding:
      prefix: --strict
  no_zlib:
    type: boolean?
    doc: mzML binary arrays without zlib compression.
    inputBinding:
      prefix: --no-zlib
  intensity_bits:
    type: int?
    doc: mzML intensity precision, 32 or 64.
    inputBinding:
      prefix: --intensity-bits
  metadata_only:
    type: boolean?
    doc: Write the run information and scan table as RUN.json instead.
    inputBinding:
      prefix: --metadata-only
  errors:
    type: string?
    doc: What to do with spectra that cannot be decoded (karvel convert --errors; only where the installed karvel has it).
    inputBinding:
      prefix: --errors
  jobs:
    type: int
    default: 1
    doc: Worker processes; the engine schedules the parallelism, so one by default.
    inputBinding:
      prefix: --jobs

outputs:
  converted:
    type: File[]
    doc: One file per converted run.
    outputBinding:
      glob: ["*.mzML", "*.parquet", "*.json"]
  log:
    type: stdout
  errors_log:
    type: stderr

stdout: karvel-convert.log
stderr: karvel-convert.err
