"""The kestrava-package command and its local preview."""
