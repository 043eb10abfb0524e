"""Run quality control: metrics, mzQC and reports."""
